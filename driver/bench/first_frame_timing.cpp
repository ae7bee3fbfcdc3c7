// Time of the first and the later corrections in a fresh process, with or without the
// preparation at sensor initialisation (for the Windows build under Wine, which has no Google
// Benchmark). Usage: first_frame_timing [--prepare] [--frames N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/sensor_sim/core/test_data.h"
#include "imageproc/core/qor_image_proc.h"

namespace {

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main(int argc, char** argv) {
    bool prepare = false;
    int frames = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--prepare") {
            prepare = true;
        } else if (arg == "--frames" && i + 1 < argc) {
            frames = std::max(2, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: first_frame_timing [--prepare] [--frames N]\n");
            return 2;
        }
    }
    qor::testdata::CalibrationParams params; // format 3, 1201 x 861
    const std::vector<uint8_t> image = qor::testdata::MakeCalibrationImage(params);
    qor::Calibration calibration;
    if (!qor::LoadCalibration(calibration, image.data(), {})) {
        std::fprintf(stderr, "first_frame_timing: the generated calibration did not load\n");
        return 1;
    }
    const std::vector<int32_t> raw = qor::testdata::MakeRawFrame(image, 1);
    qor::CorrectionServices services;
    services.enhance = &QorImageProc1;
    services.runParts = &QorRunParts;

    double prepareMs = 0.0;
    if (prepare) {
        const auto start = std::chrono::steady_clock::now();
        qor::PrepareFrameCorrection(calibration, services);
        prepareMs = Since(start);
    }
    // The caller's buffer is written before each correction, as the read-out does.
    std::vector<int32_t> buffer(raw.size());
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        std::memcpy(buffer.data(), raw.data(), raw.size() * sizeof(int32_t));
        const auto start = std::chrono::steady_clock::now();
        qor::CorrectFrame(buffer.data(), buffer.size(), calibration, 0, 1, services);
        times.push_back(Since(start));
    }
    std::vector<double> later(times.begin() + 1, times.end());
    std::sort(later.begin(), later.end());
    std::printf("%s: preparation %.1f ms, first frame %.1f ms, later frames median %.1f ms "
                "(min %.1f ms, %d frames)\n",
                prepare ? "prepared" : "unprepared", prepareMs, times.front(),
                later[later.size() / 2], later.front(), frames);
    return 0;
}
