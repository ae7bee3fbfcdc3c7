// What the library keeps between calls: the worker pool and the working memory of the last
// frame size.
#include "imageproc/core/shared_resources.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <thread>

#include "imageproc/core/enhance_workspace.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/work_memory.h"

namespace qor::imageproc {
namespace {

// Workers leave after this long without a frame. Long enough for a burst of exposures; short
// enough that an unloaded library is gone soon after (each worker holds it until it leaves).
constexpr std::chrono::milliseconds kWorkerIdle{2000};
constexpr int32_t kMaxThreads = 8;

int32_t DefaultThreads() {
    const unsigned processors = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int32_t>(processors == 0 ? 1 : processors), 1, kMaxThreads);
}

// Pointers that are never destroyed by static destructors: at process exit the workers may still
// wait on the pool, and destroying it under them is not allowed. ReleaseSharedResources drops
// them when the library is unloaded, which happens only once every worker has left.
struct Shared {
    std::mutex busy; // held by the one call that uses the pool and the kept memory
    WorkerPool* pool = nullptr;
    EnhanceWorkspace* kept = nullptr;
    int32_t threads = 0; // 0: DefaultThreads()
    std::chrono::milliseconds idle = kWorkerIdle;
};

Shared& State() {
    static Shared* state = new Shared;
    return *state;
}

int32_t WantedThreads(const Shared& s) {
    return s.threads > 0 ? std::min(s.threads, kMaxThreads) : DefaultThreads();
}

// Under s.busy.
WorkerPool& PoolLocked(Shared& s) {
    if (s.pool == nullptr) {
        s.pool = new WorkerPool(kMaxThreads - 1, s.idle);
    }
    s.pool->SetWorkers(WantedThreads(s) - 1);
    return *s.pool;
}

} // namespace

WorkspaceLease::WorkspaceLease(const WorkspaceShape& requested) {
    Shared& s = State();
    WorkspaceShape shape = requested;
    m_bShared = s.busy.try_lock();
    if (!m_bShared) {
        shape.slots = 1;
        m_pPrivate = new EnhanceWorkspace(shape);
        m_pWorkspace = m_pPrivate;
        return;
    }
    try {
        WorkerPool& pool = PoolLocked(s);
        shape.slots = kMaxThreads;
        if (detail::SimulatingExhaustion()) {
            // Tests of running out of memory see every allocation of the call.
            m_pPrivate = new EnhanceWorkspace(shape);
            m_pWorkspace = m_pPrivate;
        } else {
            if (s.kept == nullptr || !(s.kept->Shape() == shape)) {
                delete s.kept;
                s.kept = nullptr;
                s.kept = new EnhanceWorkspace(shape);
            }
            m_pWorkspace = s.kept;
        }
        m_pPool = &pool;
    } catch (...) {
        s.busy.unlock();
        throw;
    }
}

WorkspaceLease::~WorkspaceLease() {
    delete m_pPrivate;
    if (m_bShared) {
        State().busy.unlock();
    }
}

void RunOnPool(int32_t parts, WorkerPool::Task task, void* context) {
    Shared& s = State();
    std::unique_lock lock(s.busy, std::try_to_lock);
    WorkerPool* pool = nullptr;
    if (lock.owns_lock()) {
        try {
            pool = &PoolLocked(s);
        } catch (const std::bad_alloc&) {
            // No pool to be had: the parts still run, on this thread.
        }
    }
    if (pool != nullptr) {
        pool->Run(parts, task, context);
        return;
    }
    for (int32_t part = 0; part < parts; ++part) {
        task(context, part, 0);
    }
}

void SetEnhancementThreads(int32_t threads) {
    Shared& s = State();
    std::lock_guard lock(s.busy);
    s.threads = std::max(0, threads);
    if (s.pool != nullptr) {
        s.pool->SetWorkers(WantedThreads(s) - 1);
    }
}

int32_t EnhancementThreads() {
    Shared& s = State();
    std::lock_guard lock(s.busy);
    return WantedThreads(s);
}

bool PrepareFrameEnhancement(int32_t width, int32_t height) {
    if (!IsSupportedSize(width, height, kFrameRadius, kFrameTileSize)) {
        return true; // such frames are only rescaled: nothing to prepare
    }
    WorkspaceShape shape;
    shape.g = MakeTileGeometry(width, height, kFrameTileSize);
    shape.radius = kFrameRadius;
    shape.frameGrid = true;
    try {
        WorkspaceLease lease(shape);
        lease.Workspace().Touch();
        if (lease.Pool() != nullptr) {
            lease.Pool()->StartThreads();
        }
        return true;
    } catch (...) {
        return false;
    }
}

void ReleaseSharedResources() {
    Shared& s = State();
    delete s.kept;
    s.kept = nullptr;
    delete s.pool;
    s.pool = nullptr;
}

int32_t LiveWorkerThreads() {
    Shared& s = State();
    std::lock_guard lock(s.busy);
    return s.pool != nullptr ? s.pool->LiveThreads() : 0;
}

namespace testing {
void SetWorkerIdle(std::chrono::milliseconds idle) {
    Shared& s = State();
    std::lock_guard lock(s.busy);
    s.idle = idle.count() < 0 ? kWorkerIdle : idle;
    if (s.pool != nullptr) {
        s.pool->SetIdle(s.idle);
    }
}
} // namespace testing

} // namespace qor::imageproc
