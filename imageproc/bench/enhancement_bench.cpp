// Benchmarks of the enhancement: whole frames at the sensor sizes and each stage on its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "imageproc/bench/bench_frame.h"

#include "imageproc/core/block_accumulation.h"
#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/shared_resources.h"
#include "imageproc/core/smoothing.h"
#include "imageproc/core/tile_extremes.h"
#include "imageproc/core/window_function.h"

namespace qor::imageproc {
namespace {

std::vector<int32_t> MakeFrame(int32_t width, int32_t height) { return MakeBenchFrame(width, height); }

// The column grid of a frame, as the adapter builds it.
struct GridFixture {
    int32_t width;
    int32_t height;
    std::vector<int32_t> frame;
    std::vector<float> values;
    std::vector<float*> columns;

    GridFixture(int32_t w, int32_t h)
        : width(w), height(h), frame(MakeFrame(w, h)), values(static_cast<size_t>(w) * h),
          columns(w) {
        for (int32_t u = 0; u < w; ++u) {
            columns[u] = values.data() + static_cast<size_t>(u) * h;
        }
        Reload();
    }
    void Reload() { LoadColumns(frame.data(), width, height, values.data(), KernelPath::Vector); }
};

// range(2): 0 = widest loops (AVX2 where the processor has it), 1 = SSE2, 2 = scalar;
// range(3): threads of the whole-frame runs.
KernelPath PathOf(const benchmark::State& state) {
    constexpr KernelPath paths[] = {KernelPath::Vector, KernelPath::Sse2, KernelPath::Scalar};
    return paths[state.range(2)];
}

// Sets the threads of the whole-frame runs for one benchmark and restores the default after.
struct Threads {
    explicit Threads(const benchmark::State& state) {
        SetEnhancementThreads(static_cast<int32_t>(state.range(3)));
    }
    ~Threads() { SetEnhancementThreads(0); }
};

void BM_ImageProc1(benchmark::State& state) {
    const int32_t w = static_cast<int32_t>(state.range(0));
    const int32_t h = static_cast<int32_t>(state.range(1));
    const auto frame = MakeFrame(w, h);
    std::vector<int32_t> image(frame.size());
    const Threads threads(state);
    for (auto _ : state) {
        state.PauseTiming();
        image = frame;
        state.ResumeTiming();
        benchmark::DoNotOptimize(EnhanceFrame(image.data(), w, h, 1, PathOf(state)));
    }
}

void BM_ImageProc2(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    const Threads threads(state);
    for (auto _ : state) {
        state.PauseTiming();
        f.Reload();
        state.ResumeTiming();
        EnhanceGrid(f.columns.data(), f.width, f.height, 4096, 1, 35, 409.6f, PathOf(state));
    }
}

void BM_StageLoadColumns(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    for (auto _ : state) {
        LoadColumns(f.frame.data(), f.width, f.height, f.values.data(), PathOf(state));
        benchmark::ClobberMemory();
    }
}

void BM_StageStoreRescaled(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    std::vector<int32_t> image(f.frame.size());
    for (auto _ : state) {
        const float scale = RescaleFactor(LargestValue(f.values.data(), f.values.size()));
        StoreRescaled(f.values.data(), f.width, f.height, scale, image.data(), PathOf(state));
        benchmark::ClobberMemory();
    }
}

void BM_StageSmoothing(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    std::vector<float> detail(f.values.size());
    std::vector<const float*> sources(3);
    std::vector<float> padded(static_cast<size_t>(f.height) + 2);
    std::vector<float> saved(static_cast<size_t>(f.height));
    const auto kernel = MakeWindow(3);
    for (auto _ : state) {
        state.PauseTiming();
        f.Reload();
        state.ResumeTiming();
        SplitSmoothAndDetail(f.columns.data(), f.width, f.height, kernel.data(), 1, detail.data(),
                             Smoother::Buffers{sources.data(), padded.data(), saved.data()},
                             PathOf(state));
    }
}

void BM_StageTileExtremes(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    const TileGeometry g = MakeTileGeometry(f.width, f.height, 35);
    const size_t tiles = static_cast<size_t>(g.tilesAcross) * g.tilesDown;
    std::vector<float> tileMax(tiles);
    std::vector<float> tileMin(tiles);
    for (auto _ : state) {
        std::fill(tileMax.begin(), tileMax.end(), kMaxStart);
        std::fill(tileMin.begin(), tileMin.end(), kMinStart);
        ComputeTileExtremes(f.columns.data(), g, tileMax.data(), tileMin.data(), PathOf(state));
        benchmark::ClobberMemory();
    }
}

// Accumulation and tone curve on a grid that already holds smooth values.
void BM_StageAccumulateAndMap(benchmark::State& state) {
    GridFixture f(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    const TileGeometry g = MakeTileGeometry(f.width, f.height, 35);
    const size_t tiles = static_cast<size_t>(g.tilesAcross) * g.tilesDown;
    std::vector<float> tileMax(tiles, kMaxStart);
    std::vector<float> tileMin(tiles, kMinStart);
    ComputeTileExtremes(f.columns.data(), g, tileMax.data(), tileMin.data(), KernelPath::Vector);
    const size_t across = static_cast<size_t>(g.tilesAcross - 3);
    const size_t down = static_cast<size_t>(g.tilesDown - 3);
    std::vector<float> tables(2 * across * down + 2 * across + 2 * down);
    BlockExtremes blocks;
    blocks.innerMax = tables.data();
    blocks.innerMin = blocks.innerMax + across * down;
    blocks.lastRowsMax = blocks.innerMin + across * down;
    blocks.lastRowsMin = blocks.lastRowsMax + across;
    blocks.lastColsMax = blocks.lastRowsMin + across;
    blocks.lastColsMin = blocks.lastColsMax + down;
    ComputeBlockExtremes(g, tileMax.data(), tileMin.data(), blocks);
    const auto window = MakeWindow(g.blockSize);
    const auto edgeU = MakeEdgeProfile(window, 35, g.lastWidth);
    const auto edgeV = MakeEdgeProfile(window, 35, g.lastHeight);
    const BlendProfiles profiles{window.data(), edgeU.data(), edgeV.data()};
    const ToneCurve curve = MakeToneCurve(4096, 409.6f);
    std::vector<float> detail(f.values.size(), 1.5f);
    for (auto _ : state) {
        state.PauseTiming();
        f.Reload();
        state.ResumeTiming();
        AccumulateAndMap(f.columns.data(), detail.data(), g, profiles, blocks, curve,
                         PathOf(state));
    }
}

// {width, height, path, threads}. With repetitions, "min" is the figure to read on a shared
// machine; real time, since the work is shared between threads.
void Statistics(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
    b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

void WholeFrames(benchmark::internal::Benchmark* b) {
    for (const int64_t threads : {1, 2}) {
        for (const int64_t path : {0, 1, 2}) {
            b->Args({1201, 861, path, threads});
        }
        b->Args({999, 664, 0, threads});
    }
    Statistics(b);
}

// Stages on one thread, on the large frame.
void Stages(benchmark::internal::Benchmark* b) {
    for (const int64_t path : {0, 1, 2}) {
        b->Args({1201, 861, path, 1});
    }
    Statistics(b);
}

BENCHMARK(BM_ImageProc1)->Apply(WholeFrames);
BENCHMARK(BM_ImageProc2)->Apply(WholeFrames);
BENCHMARK(BM_StageLoadColumns)->Apply(Stages);
BENCHMARK(BM_StageSmoothing)->Apply(Stages);
BENCHMARK(BM_StageTileExtremes)->Apply(Stages);
BENCHMARK(BM_StageAccumulateAndMap)->Apply(Stages);
BENCHMARK(BM_StageStoreRescaled)->Apply(Stages);

} // namespace
} // namespace qor::imageproc
