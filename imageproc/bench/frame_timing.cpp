// Plain timing of QorImageProc1 and its stages, for builds without Google Benchmark (Wine).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "imageproc/bench/bench_frame.h"

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/shared_resources.h"

namespace {

using qor::imageproc::KernelPath;

std::vector<int32_t> MakeFrame(int32_t width, int32_t height) { return MakeBenchFrame(width, height); }

double Milliseconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from)
        .count();
}

struct Figures {
    double best = 1e30;
    std::vector<double> all;
    void Add(double ms) {
        best = std::min(best, ms);
        all.push_back(ms);
    }
    double Median() {
        std::sort(all.begin(), all.end());
        return all.empty() ? 0.0 : all[all.size() / 2];
    }
};

void Measure(int32_t width, int32_t height, KernelPath path, int32_t runs) {
    const auto frame = MakeFrame(width, height);
    Figures whole;
    Figures enhance;
    std::vector<float> values(frame.size());
    std::vector<float*> columns(width);
    for (int32_t u = 0; u < width; ++u) {
        columns[u] = values.data() + static_cast<size_t>(u) * height;
    }
    // One kind of call after the other: the two need differently shaped work memory, and
    // alternating them would time its allocation and first touch every time.
    for (int32_t i = 0; i < runs; ++i) {
        auto image = frame;
        const auto start = std::chrono::steady_clock::now();
        qor::imageproc::EnhanceFrame(image.data(), width, height, 1, path);
        whole.Add(Milliseconds(start));
    }
    for (int32_t i = 0; i < runs; ++i) {
        qor::imageproc::LoadColumns(frame.data(), width, height, values.data(), path);
        const auto start = std::chrono::steady_clock::now();
        qor::imageproc::EnhanceGrid(columns.data(), width, height, 4096, 1, 35, 409.6f, path);
        enhance.Add(Milliseconds(start));
    }
    std::printf("%4dx%-4d %-6s QorImageProc1 min %6.2f ms median %6.2f ms | "
                "QorImageProc2 min %6.2f ms median %6.2f ms\n",
                width, height, path == KernelPath::Vector ? "vector" : "scalar", whole.best,
                whole.Median(), enhance.best, enhance.Median());
}

} // namespace

int main(int argc, char** argv) {
    const int32_t runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    // The fastest loops on one thread and on two, then the plain loops with the default threads.
    for (const int32_t threads : {1, 2}) {
        qor::imageproc::SetEnhancementThreads(threads);
        std::printf("%d thread%s:\n", threads, threads == 1 ? "" : "s");
        Measure(1201, 861, KernelPath::Vector, runs);
        Measure(999, 664, KernelPath::Vector, runs);
    }
    qor::imageproc::SetEnhancementThreads(0);
    Measure(1201, 861, KernelPath::Scalar, runs);
    Measure(999, 664, KernelPath::Scalar, runs);
    return 0;
}
