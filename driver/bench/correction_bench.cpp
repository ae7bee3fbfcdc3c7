// Benchmarks of CorrectFrame on the two real frame sizes, whole and per stage.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>

#include "driver/core/calibration_record.h"
#include "driver/core/flat_field.h"
#include "driver/core/frame_correction.h"
#include "driver/core/line_repair.h"
#include "external/sensor_sim/core/test_data.h"

#if defined(QOR_BENCH_HAVE_IMAGEPROC)
#include "imageproc/core/qor_image_proc.h"
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

void BM_CorrectFrame(benchmark::State& state, bool enhance) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    qor::CorrectionServices services;
#if defined(QOR_BENCH_HAVE_IMAGEPROC)
    if (enhance) {
        services.enhance = &QorImageProc1;
    }
#else
    if (enhance) {
        state.SkipWithError("no enhancement library in this build");
        return;
    }
#endif
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
BENCHMARK_CAPTURE(BM_CorrectFrame, with_enhancement, true)
    ->Arg(1201)
    ->Arg(999)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CorrectFrame, without_enhancement, false)
    ->Arg(1201)
    ->Arg(999)
    ->Unit(benchmark::kMillisecond);

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

void BM_ExposureMean(benchmark::State& state) {
    const Fixture& f = SensorFixture(static_cast<int32_t>(state.range(0)), 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qor::ExposureMean(f.raw.data(), f.raw.size()));
    }
    SetPixels(state, f);
}
BENCHMARK(BM_ExposureMean)->Arg(1201)->Arg(999)->Unit(benchmark::kMicrosecond);

} // namespace
