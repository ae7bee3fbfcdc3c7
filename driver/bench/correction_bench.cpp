// Benchmarks of CorrectFrame on the two real frame sizes, whole and per stage, on 1 and 2
// threads and with SSE2 and AVX2 loops; with OpenCV present, its CLAHE on the same frame as the
// point of comparison a user would take.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "driver/core/calibration_record.h"
#include "driver/core/flat_field.h"
#include "driver/core/frame_correction.h"
#include "driver/core/line_repair.h"
#include "external/sensor_sim/core/test_data.h"

#if defined(QOR_BENCH_HAVE_IMAGEPROC)
#include "imageproc/core/cpu_features.h"
#include "imageproc/core/qor_image_proc.h"
#include "imageproc/core/shared_resources.h"
#endif

#if defined(QOR_BENCH_HAVE_OPENCV)
#include <opencv2/imgproc.hpp>
#endif

namespace {

// A generated sensor with ten bad rows and columns, and one raw phantom frame of it.
struct Fixture {
    qor::Calibration calibration;
    std::vector<int32_t> raw;
};

const Fixture& SensorFixture(int32_t width, int32_t format, bool legacy = false) {
    static std::map<std::tuple<int32_t, int32_t, bool>, std::unique_ptr<Fixture>> cache;
    auto& slot = cache[{width, format, legacy}];
    if (!slot) {
        slot = std::make_unique<Fixture>();
        qor::testdata::CalibrationParams p;
        p.formatVersion = format;
        p.legacy = legacy;
        p.headerWidth = width;
        p.height = width == 1201 ? 861 : 664;
        p.badRows = {20, 21, 22, 100, 300, 301, 500, 501, 502, 600};
        p.badColumns = legacy ? std::vector<int32_t>{7, 90, 300, 301, 500}
                              : std::vector<int32_t>{5, 6, 7, 90, 300, 301, 500, 700, 701, 702};
        p.columnCorrections =
            legacy ? std::vector<int32_t>{-12, 5, 7, 9, 3} : std::vector<int32_t>{};
        p.defectPixels = 200;
        const std::vector<uint8_t> image = qor::testdata::MakeCalibrationImage(p);
        if (legacy) {
            qor::LoadLegacyCalibration(slot->calibration, image.data());
        } else {
            qor::LoadCalibration(slot->calibration, image.data(), {});
        }
        slot->raw = qor::testdata::MakeRawFrame(image, 1, legacy);
    }
    return *slot;
}

void SetPixels(benchmark::State& state, const Fixture& f) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.raw.size()));
}

// range(1): threads of the enhancement; range(2): the widest loops allowed, 0 = SSE2, 1 = AVX2,
// 2 = AVX-512 (each where the processor has it), 3 = the library's own choice, the fastest.
constexpr int64_t kLibraryChoice = 3;

struct Settings {
    explicit Settings(const benchmark::State& state) {
#if defined(QOR_BENCH_HAVE_IMAGEPROC)
        qor::imageproc::SetEnhancementThreads(static_cast<int32_t>(state.range(1)));
        if (state.range(2) == kLibraryChoice) {
            qor::imageproc::UseFastestVectors();
        } else {
            qor::imageproc::SetVectorLimit(
                static_cast<qor::imageproc::VectorLimit>(state.range(2)));
        }
#else
        (void)state;
#endif
    }
    ~Settings() {
#if defined(QOR_BENCH_HAVE_IMAGEPROC)
        qor::imageproc::SetEnhancementThreads(0);
        qor::imageproc::UseFastestVectors();
#endif
    }
};

void BM_CorrectFrame(benchmark::State& state, bool enhance) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    qor::CorrectionServices services;
#if defined(QOR_BENCH_HAVE_IMAGEPROC)
    if (enhance) {
        services.enhance = &QorImageProc1;
        services.runParts = &QorRunParts;
    }
#else
    if (enhance) {
        state.SkipWithError("no enhancement library in this build");
        return;
    }
#endif
    const Settings settings(state);
    std::vector<int32_t> frame(f.raw.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(frame.data(), f.raw.data(), f.raw.size() * sizeof(int32_t));
        state.ResumeTiming();
        qor::CorrectFrame(frame.data(), frame.size(), f.calibration, 1023, 1, services);
        benchmark::DoNotOptimize(frame.data());
    }
    SetPixels(state, f);
}

// {width, threads, widest loops}; real time, since the enhancement shares its work between threads, and
// "min" of the repetitions as the figure to read on a shared machine.
void ThreadsAndWidths(benchmark::internal::Benchmark* b) {
    for (const int64_t width : {1201, 999}) {
        for (const int64_t threads : {1, 2}) {
            for (const int64_t widest : {int64_t{0}, int64_t{1}, int64_t{2}, kLibraryChoice}) {
                b->Args({width, threads, widest});
            }
        }
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
    b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}
BENCHMARK_CAPTURE(BM_CorrectFrame, with_enhancement, true)->Apply(ThreadsAndWidths);
BENCHMARK_CAPTURE(BM_CorrectFrame, without_enhancement, false)
    ->Args({1201, 1, 2})
    ->Args({999, 1, 2})
    ->Unit(benchmark::kMillisecond);

// The frame the enhancement gets inside CorrectFrame: calibrated and repaired.
const std::vector<int32_t>& CalibratedFrame(int32_t width) {
    static std::map<int32_t, std::vector<int32_t>> cache;
    auto& frame = cache[width];
    if (frame.empty()) {
        const Fixture& f = SensorFixture(width, 3);
        frame = f.raw;
        qor::ApplyGainOffsetCorrection(frame.data(), f.calibration.set);
        qor::RepairFormat3Lines(frame.data(), f.calibration.set);
    }
    return frame;
}

#if defined(QOR_BENCH_HAVE_IMAGEPROC)
void BM_Enhancement(benchmark::State& state) {
    const int32_t width = static_cast<int32_t>(state.range(0));
    const Fixture& f = SensorFixture(width, 3);
    const std::vector<int32_t>& calibrated = CalibratedFrame(width);
    const Settings settings(state);
    std::vector<int32_t> frame(calibrated.size());
    for (auto _ : state) {
        state.PauseTiming();
        frame = calibrated;
        state.ResumeTiming();
        QorImageProc1(frame.data(), f.calibration.set.width, f.calibration.set.height, 1);
        benchmark::DoNotOptimize(frame.data());
    }
    SetPixels(state, f);
}
BENCHMARK(BM_Enhancement)->Apply(ThreadsAndWidths);
#endif

#if defined(QOR_BENCH_HAVE_OPENCV)
// OpenCV's contrast-limited adaptive histogram equalisation on the same calibrated frame, with
// tiles of about the enhancement's 35 pixels and the common clip limit 2: on the 12-bit values
// as 16-bit samples, and scaled to 8 bits as most users would feed it.
void BM_OpenCvClahe(benchmark::State& state) {
    const int32_t width = static_cast<int32_t>(state.range(0));
    const bool eightBit = state.range(1) == 8;
    const Fixture& f = SensorFixture(width, 3);
    const std::vector<int32_t>& calibrated = CalibratedFrame(width);
    const int32_t height = f.calibration.set.height;
    cv::Mat source(height, width, eightBit ? CV_8UC1 : CV_16UC1);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int32_t v = std::clamp(calibrated[static_cast<size_t>(y) * width + x], 0, 4095);
            if (eightBit) {
                source.at<uint8_t>(y, x) = static_cast<uint8_t>(v * 255 / 4095);
            } else {
                source.at<uint16_t>(y, x) = static_cast<uint16_t>(v);
            }
        }
    }
    cv::setNumThreads(static_cast<int>(state.range(2)));
    const cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(2.0, cv::Size(width / 35, height / 35));
    cv::Mat result;
    for (auto _ : state) {
        clahe->apply(source, result);
        benchmark::DoNotOptimize(result.data);
    }
    cv::setNumThreads(-1);
    SetPixels(state, f);
}
// {width, bits, threads}
BENCHMARK(BM_OpenCvClahe)
    ->Args({1201, 16, 1})
    ->Args({1201, 16, 2})
    ->Args({1201, 8, 1})
    ->Args({1201, 8, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    });
#endif

void BM_CorrectLegacyFrame(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 2, true);
    std::vector<int32_t> frame(f.raw.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(frame.data(), f.raw.data(), f.raw.size() * sizeof(int32_t));
        state.ResumeTiming();
        qor::CorrectLegacyFrame(frame.data(), frame.size(), f.calibration, 1);
        benchmark::DoNotOptimize(frame.data());
    }
    SetPixels(state, f);
}
BENCHMARK(BM_CorrectLegacyFrame)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

// One stage applied to a fresh copy of the raw frame each time.
template <typename Stage> void RunStage(benchmark::State& state, const Fixture& f, Stage stage) {
    std::vector<int32_t> frame(f.raw.size());
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(frame.data(), f.raw.data(), f.raw.size() * sizeof(int32_t));
        state.ResumeTiming();
        stage(frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    SetPixels(state, f);
}

void BM_GainOffsetCorrection(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    RunStage(state, f,
             [&](int32_t* frame) { qor::ApplyGainOffsetCorrection(frame, f.calibration.set); });
}
BENCHMARK(BM_GainOffsetCorrection)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_GainCorrection(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 2);
    RunStage(state, f, [&](int32_t* frame) { qor::ApplyGainCorrection(frame, f.calibration.set); });
}
BENCHMARK(BM_GainCorrection)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_LegacyOffsetCorrection(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 2, true);
    RunStage(state, f,
             [&](int32_t* frame) { qor::ApplyLegacyOffsetCorrection(frame, f.calibration.set); });
}
BENCHMARK(BM_LegacyOffsetCorrection)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_Format2Repair(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 2);
    RunStage(state, f, [&](int32_t* frame) { qor::RepairFormat2Lines(frame, f.calibration.set); });
}
BENCHMARK(BM_Format2Repair)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_Format3Repair(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    RunStage(state, f, [&](int32_t* frame) { qor::RepairFormat3Lines(frame, f.calibration.set); });
}
BENCHMARK(BM_Format3Repair)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_Invert(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    RunStage(state, f, [&](int32_t* frame) { qor::InvertFrame(frame, f.raw.size()); });
}
BENCHMARK(BM_Invert)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_Turn(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    RunStage(state, f, [&](int32_t* frame) { qor::TurnFrame(frame, f.raw.size()); });
}
BENCHMARK(BM_Turn)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_InvertAndTurn(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    RunStage(state, f, [&](int32_t* frame) { qor::InvertAndTurnFrame(frame, f.raw.size()); });
}
BENCHMARK(BM_InvertAndTurn)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_ExposureMean(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qor::ExposureMean(f.raw.data(), f.raw.size()));
    }
    SetPixels(state, f);
}
BENCHMARK(BM_ExposureMean)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

} // namespace
