// A small pool of persistent worker threads that share the chunks of one job with its caller.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qor::imageproc {

// Threads are started when a job first needs them and leave on their own after `idle` without
// work, so that a library that is no longer used holds no thread (and, on Windows, can be
// unloaded once the last one has gone: see worker_thread.h). Nothing ever waits for a worker to
// end, so the pool may be dropped from DllMain once no worker is left.
class WorkerPool {
public:
    // task(context, chunk, slot): slot 0 is the caller, 1..workers the threads; a slot never runs
    // two chunks at once, so per-slot scratch memory needs no lock.
    using Task = void (*)(void* context, int32_t chunk, int32_t slot);

    WorkerPool(int32_t workers, std::chrono::milliseconds idle);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs every chunk 0..chunks-1 exactly once, on the calling thread and any worker that is
    // free, and returns when all are done. One job at a time: callers serialise Run.
    void Run(int32_t chunks, Task task, void* context);

    // Threads used besides the caller from now on (at most the constructor's count).
    void SetWorkers(int32_t workers);
    int32_t Workers() const;

    // Worker threads alive now (for tests of the idle exit).
    int32_t LiveThreads() const;

    // How long a worker waits for work before it leaves (takes effect at its next wait).
    void SetIdle(std::chrono::milliseconds idle);

    // Starts the missing threads now instead of at the first job.
    void StartThreads();

private:
    static void ThreadMain(void* self);
    void WorkerLoop();
    void RunChunks(int32_t slot);
    void StartMissingLocked();

    const int32_t m_nMaxWorkers;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;    // a job was posted
    std::condition_variable m_settled; // a worker left the job, or a thread ended
    std::chrono::milliseconds m_idle;
    int32_t m_nWorkers;
    int32_t m_nLive = 0;
    // Changed under m_mutex; also read without it while a thread spins before it sleeps.
    std::atomic<uint64_t> m_nGeneration{0};
    bool m_bJobOpen = false;
    std::atomic<int32_t> m_nActive{0}; // workers inside the current job
    int32_t m_nJoined = 0; // slots handed out for the current job

    Task m_pTask = nullptr;
    void* m_pContext = nullptr;
    int32_t m_nChunks = 0;
    std::atomic<int32_t> m_nNext{0};
};

} // namespace qor::imageproc
