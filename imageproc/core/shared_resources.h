// What the library keeps between calls: the worker pool and the working memory of the last
// frame size, so that no frame pays for starting threads or faulting in fresh memory.
#pragma once

#include <chrono>
#include <cstdint>

#include "imageproc/core/worker_pool.h"

namespace qor::imageproc {

class EnhanceWorkspace;
struct WorkspaceShape;

// The working memory of one enhancement call and, when no other call is running, the pool.
// A call that finds another one running computes alone with memory of its own: the result is
// the same, only slower. Construction throws std::bad_alloc when memory cannot be had.
class WorkspaceLease {
public:
    explicit WorkspaceLease(const WorkspaceShape& shape);
    ~WorkspaceLease();
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;

    EnhanceWorkspace& Workspace() { return *m_pWorkspace; }
    // Null when another call holds the pool: then every chunk runs on the calling thread.
    WorkerPool* Pool() { return m_pPool; }

private:
    bool m_bShared = false;
    EnhanceWorkspace* m_pWorkspace = nullptr;
    EnhanceWorkspace* m_pPrivate = nullptr;
    WorkerPool* m_pPool = nullptr;
};

// Runs task(context, part, slot) for every part 0..parts-1 on the calling thread and the pool's
// workers, as the phases of an enhancement do; a call that finds the pool in use (by an
// enhancement or another such call) runs every part itself. Slots are as in WorkerPool::Run.
void RunOnPool(int32_t parts, WorkerPool::Task task, void* context);

// Threads a call may use, the calling one included; 0 restores the default (one per processor,
// at most eight).
void SetEnhancementThreads(int32_t threads);
int32_t EnhancementThreads();

// Starts the workers and makes and touches the working memory of a width x height frame
// enhanced with the driver's parameters, so that the first frame runs as fast as the others.
// Returns false when the memory cannot be had (the frame will then try again).
bool PrepareFrameEnhancement(int32_t width, int32_t height);

// Drops the pool and the kept memory. Only for the library's unloading, when no call is running
// and no worker is left (each worker holds the library until it has gone).
void ReleaseSharedResources();

// Worker threads alive now (tests of the idle exit).
int32_t LiveWorkerThreads();

namespace testing {
// How long workers wait for a frame before they leave; a negative value restores the default.
void SetWorkerIdle(std::chrono::milliseconds idle);
} // namespace testing

} // namespace qor::imageproc
