// The enhancement shared between threads: thread counts, every vector width, calls that
// overlap, the workers' own floating-point state, and workers that leave when idle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/enhance_workspace.h"
#include "imageproc/core/fp_environment.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/qor_image_proc.h"
#include "imageproc/core/shared_resources.h"
#include "imageproc/core/worker_pool.h"
#include "test_images.h"

namespace qor::imageproc {
namespace {

using testdata::Content;

// Restores the library's defaults however a test ends.
struct Defaults {
    ~Defaults() {
        SetEnhancementThreads(0);
        SetAvx2Allowed(true);
        testing::SetWorkerIdle(std::chrono::milliseconds(-1));
    }
};

struct Case {
    int32_t width;
    int32_t height;
    int32_t tileSize;
    int32_t radius; // above tileSize: the smoothing cannot be split and runs in one piece
};

// The driver's frames, a radius that reaches two columns into the next chunk, one wider than a
// chunk, and a one-column chunk size.
const Case kCases[] = {
    {1201, 861, 35, 1}, {999, 664, 35, 1}, {150, 151, 7, 3}, {61, 64, 7, 9}, {9, 8, 2, 2},
};

class ParallelRun : public ::testing::TestWithParam<Case> {};

TEST_P(ParallelRun, EveryThreadCountAndWidthEqualsTheReference) {
    const Defaults restore;
    const Case c = GetParam();
    const auto frame = testdata::MakeFrame(c.width, c.height, Content::Exposure, 31u + c.width);
    reference::Grid expected = testdata::ToGrid(frame, c.width, c.height);
    reference::ImageProc2(expected, 4096, c.radius, c.tileSize, 409.6f);
    std::vector<int32_t> expectedFrame;
    if (c.tileSize == 35 && c.radius == 1) {
        expectedFrame = frame;
        reference::ImageProc1(expectedFrame, c.width, c.height, 1);
    }
    using V = VectorLimit;
    for (const auto& [threads, limit] :
         {std::pair{1, V::Avx512}, std::pair{2, V::Avx512}, std::pair{2, V::Avx2},
          std::pair{1, V::Avx2}, std::pair{2, V::Sse2}, std::pair{3, V::Avx512},
          std::pair{8, V::Sse2}}) {
        SetEnhancementThreads(threads);
        SetVectorLimit(limit);
        const int widest = static_cast<int>(limit);
        reference::Grid actual = testdata::ToGrid(frame, c.width, c.height);
        auto columns = testdata::Columns(actual);
        ASSERT_EQ(
            EnhanceGrid(columns.data(), c.width, c.height, 4096, c.radius, c.tileSize, 409.6f),
            EnhanceStatus::Enhanced);
        EXPECT_TRUE(testdata::SameBits(expected, actual)) << threads << " threads, " << widest;
        if (!expectedFrame.empty()) {
            auto image = frame;
            ASSERT_EQ(QorImageProc1(image.data(), c.width, c.height, 1), 1);
            EXPECT_EQ(image, expectedFrame) << threads << " threads, " << widest;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParallelRun, ::testing::ValuesIn(kCases));

TEST(ParallelRun, OverlappingCallsGetTheirOwnResults) {
    // The timer path and the polled path may correct frames at the same time: one call has the
    // pool and the kept memory, the other computes alone; both must be exact.
    const Defaults restore;
    SetEnhancementThreads(2);
    const auto large = testdata::MakeFrame(1201, 861, Content::Exposure, 2);
    const auto small = testdata::MakeFrame(999, 664, Content::Exposure, 1);
    std::atomic<int32_t> wrong{0};
    auto run = [&](const std::vector<int32_t>& frame, int32_t width, int32_t height,
                   uint32_t fingerprint) {
        for (int32_t i = 0; i < 3; ++i) {
            auto image = frame;
            if (QorImageProc1(image.data(), width, height, 1) != 1 ||
                testdata::Fingerprint(image) != fingerprint) {
                ++wrong;
            }
        }
    };
    // The fingerprints of these frames are pinned in fp_model_test.cpp.
    std::thread first(run, std::cref(large), 1201, 861, 1650603408u);
    std::thread second(run, std::cref(small), 999, 664, 3421543151u);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ParallelRun, WorkersComputeWithTheDefaultControlStateWhateverTheCallerSet) {
#if defined(QOR_HAVE_MXCSR)
    const Defaults restore;
    SetEnhancementThreads(2);
    // Round toward zero, flush to zero and denormals are zero in the caller.
    constexpr uint32_t kOdd = kDefaultMxcsr | 0x6000u | 0x8000u | 0x0040u;
    auto image = testdata::MakeFrame(1201, 861, Content::Exposure, 2);
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(kOdd);
    const int32_t result = QorImageProc1(image.data(), 1201, 861, 1);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(after & ~0x3Fu, kOdd & ~0x3Fu); // the caller's setting comes back (flags aside)
    EXPECT_EQ(testdata::Fingerprint(image), 1650603408u);
#else
    GTEST_SKIP() << "no SSE control register on this processor";
#endif
}

struct PartTally {
    std::atomic<int32_t> runs[64];
    std::atomic<int32_t> wrongState{0};
};

void QOR_STDCALL CountPart(void* context, int32_t part) {
    auto& t = *static_cast<PartTally*>(context);
    ++t.runs[part];
#if defined(QOR_HAVE_MXCSR)
    if ((_mm_getcsr() & ~0x3Fu) != kDefaultMxcsr) {
        ++t.wrongState;
    }
#endif
}

// The driver's passes on the same threads: every part once, with the enhancement's
// floating-point state whatever the caller set, and a call made while another holds the workers
// (here a lease like an enhancement's) runs its parts itself instead of waiting for them.
TEST(ParallelRun, SharedPartsRunOnceEachWithThePipelineState) {
    const Defaults restore;
    constexpr uint32_t kOdd = kDefaultMxcsr | 0x6000u | 0x8040u; // toward zero, FTZ and DAZ
    for (const int32_t threads : {1, 2, 4}) {
        SetEnhancementThreads(threads);
        for (const int32_t parts : {0, 1, 16, 64}) {
            PartTally tally{};
#if defined(QOR_HAVE_MXCSR)
            const uint32_t saved = _mm_getcsr();
            _mm_setcsr(kOdd);
#endif
            QorRunParts(parts, &CountPart, &tally);
#if defined(QOR_HAVE_MXCSR)
            EXPECT_EQ(_mm_getcsr() & ~0x3Fu, kOdd & ~0x3Fu);
            _mm_setcsr(saved);
#endif
            for (int32_t part = 0; part < 64; ++part) {
                EXPECT_EQ(tally.runs[part].load(), part < parts ? 1 : 0) << threads << ", " << part;
            }
            EXPECT_EQ(tally.wrongState.load(), 0) << threads << " threads";
        }
    }
    WorkspaceShape shape;
    shape.g = MakeTileGeometry(140, 140, 35);
    const WorkspaceLease held(shape);
    PartTally tally{};
    std::thread([&] { QorRunParts(5, &CountPart, &tally); }).join();
    for (int32_t part = 0; part < 5; ++part) {
        EXPECT_EQ(tally.runs[part].load(), 1) << part;
    }
    QorRunParts(4, nullptr, nullptr); // nothing to run
}

TEST(WorkerPool, EveryChunkRunsOnceOnDistinctSlotsAndIdleWorkersLeave) {
    WorkerPool pool(3, std::chrono::milliseconds(50));
    struct Tally {
        std::atomic<int32_t> runs[200];
        std::atomic<int32_t> badSlot{0};
        std::atomic<int32_t> inSlot[4];
    } tally{};
    auto task = [](void* context, int32_t chunk, int32_t slot) {
        auto& t = *static_cast<Tally*>(context);
        if (slot < 0 || slot > 3 || t.inSlot[slot].fetch_add(1) != 0) {
            ++t.badSlot;
        }
        ++t.runs[chunk];
        std::this_thread::yield();
        if (slot >= 0 && slot <= 3) {
            --t.inSlot[slot];
        }
    };
    for (int32_t round = 0; round < 2; ++round) {
        for (auto& r : tally.runs) {
            r = 0;
        }
        pool.Run(200, task, &tally);
        for (const auto& r : tally.runs) {
            EXPECT_EQ(r.load(), 1);
        }
        EXPECT_EQ(tally.badSlot.load(), 0);
        EXPECT_LE(pool.LiveThreads(), 3);
        // Idle workers leave; the next job starts them again.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pool.LiveThreads() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(pool.LiveThreads(), 0);
    }
    pool.SetWorkers(0); // the caller alone
    pool.Run(5, task, &tally);
    EXPECT_EQ(pool.LiveThreads(), 0);
}

TEST(ParallelRun, PreparedWorkersLeaveTheLibraryWhenIdle) {
    const Defaults restore;
    SetEnhancementThreads(2);
    testing::SetWorkerIdle(std::chrono::milliseconds(100));
    ASSERT_TRUE(PrepareFrameEnhancement(1201, 861));
    auto image = testdata::MakeFrame(1201, 861, Content::Exposure, 2);
    ASSERT_EQ(QorImageProc1(image.data(), 1201, 861, 1), 1);
    EXPECT_EQ(testdata::Fingerprint(image), 1650603408u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (LiveWorkerThreads() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(LiveWorkerThreads(), 0);
}

} // namespace
} // namespace qor::imageproc
