// A small pool of persistent worker threads that share the chunks of one job with its caller.
#include "imageproc/core/worker_pool.h"

#include <algorithm>

#include "imageproc/core/fp_environment.h"
#include "imageproc/core/worker_thread.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace qor::imageproc {
namespace {

// The phases of one frame follow each other within microseconds: a worker that has finished one
// and a caller waiting for a worker's last chunk spin this long before they sleep, since the
// wake-up from a condition variable costs tens of microseconds, more in a virtual machine.
constexpr auto kSpinLimit = std::chrono::microseconds(300);

template <typename Done> void SpinUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + kSpinLimit;
    for (int32_t round = 1; !done(); ++round) {
#if defined(__SSE2__) || defined(_M_X64)
        _mm_pause();
#endif
        if (round % 64 == 0 && std::chrono::steady_clock::now() >= end) {
            return;
        }
    }
}

} // namespace

WorkerPool::WorkerPool(int32_t workers, std::chrono::milliseconds idle)
    : m_nMaxWorkers(std::max(0, workers)), m_idle(idle), m_nWorkers(m_nMaxWorkers) {}

void WorkerPool::SetIdle(std::chrono::milliseconds idle) {
    std::lock_guard lock(m_mutex);
    m_idle = idle;
    m_wake.notify_all(); // waits already running end at their old time; that is fine
}

WorkerPool::~WorkerPool() = default;

void WorkerPool::SetWorkers(int32_t workers) {
    std::lock_guard lock(m_mutex);
    m_nWorkers = std::clamp(workers, 0, m_nMaxWorkers);
}

int32_t WorkerPool::Workers() const {
    std::lock_guard lock(m_mutex);
    return m_nWorkers;
}

int32_t WorkerPool::LiveThreads() const {
    std::lock_guard lock(m_mutex);
    return m_nLive;
}

void WorkerPool::StartThreads() {
    std::lock_guard lock(m_mutex);
    StartMissingLocked();
}

void WorkerPool::StartMissingLocked() {
    while (m_nLive < m_nWorkers) {
        if (!StartWorkerThread(&WorkerPool::ThreadMain, this)) {
            return; // fewer helpers; the caller still does every chunk that is left
        }
        ++m_nLive;
    }
}

void WorkerPool::ThreadMain(void* self) {
    static_cast<WorkerPool*>(self)->WorkerLoop();
}

void WorkerPool::RunChunks(int32_t slot) {
    for (int32_t chunk = m_nNext.fetch_add(1); chunk < m_nChunks;
         chunk = m_nNext.fetch_add(1)) {
        m_pTask(m_pContext, chunk, slot);
    }
}

void WorkerPool::WorkerLoop() {
    std::unique_lock lock(m_mutex);
    // A thread started for a job that is already posted takes part in it.
    uint64_t seen = m_bJobOpen ? m_nGeneration - 1 : m_nGeneration.load();
    for (;;) {
        lock.unlock();
        SpinUntil([&] { return m_nGeneration.load(std::memory_order_acquire) != seen; });
        lock.lock();
        const bool posted = m_wake.wait_for(lock, m_idle, [&] { return m_nGeneration != seen; });
        if (!posted) {
            break;
        }
        seen = m_nGeneration;
        if (!m_bJobOpen || m_nJoined >= m_nWorkers) {
            continue; // woke after the job closed, or more threads than wanted now
        }
        const int32_t slot = ++m_nJoined;
        ++m_nActive;
        lock.unlock();
        SetDefaultFpControl();
        RunChunks(slot);
        lock.lock();
        if (--m_nActive == 0) {
            m_settled.notify_all();
        }
    }
    // The pool outlives this thread: on Windows the thread still holds the library (see
    // worker_thread.h), and natively the pool is never dropped.
    --m_nLive;
    m_settled.notify_all();
}

void WorkerPool::Run(int32_t chunks, Task task, void* context) {
    if (chunks <= 0) {
        return;
    }
    bool helpers = false;
    {
        std::lock_guard lock(m_mutex);
        m_pTask = task;
        m_pContext = context;
        m_nChunks = chunks;
        m_nNext.store(0);
        m_nJoined = 0;
        if (chunks > 1 && m_nWorkers > 0) {
            StartMissingLocked();
            m_bJobOpen = true;
            ++m_nGeneration;
            helpers = m_nLive > 0;
        }
    }
    if (helpers) {
        m_wake.notify_all();
    }
    RunChunks(0);
    if (helpers) {
        // Every chunk is claimed; wait for the workers that claimed some to finish them.
        SpinUntil([&] { return m_nActive.load(std::memory_order_acquire) == 0; });
        std::unique_lock lock(m_mutex);
        m_bJobOpen = false;
        m_settled.wait(lock, [&] { return m_nActive == 0; });
    }
}

} // namespace qor::imageproc
