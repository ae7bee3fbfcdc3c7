// Timing of QOR APP's whole road under Wine: from the X-ray button of the simulated sensor to the
// bitmap file in the store, for every exposure until the store is full, and the program's memory
// with 64 images. Reports figures; asserts nothing.
//   qor_app_timing [COUNT]   (default 64)
#include "tests/e2e/qor_app_support.h"
#include "tests/support/ui_robot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>

int main(int argc, char** argv) {
    // At most 64: beyond that the store drops one file for each new one.
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 64) : 64;
    e2e::QorAppRig rig("timing");
    rig.PlugSensor();
    if (rig.Start() == 0 || rig.MainWindow(20000) == nullptr) {
        std::fprintf(stderr, "qor_app_timing: QOR APP did not start; build it beside this program\n");
        return 1;
    }
    // Armed once the calibration is cached.
    const auto cache = rig.Work() / (std::to_string(e2e::QorAppRig::kImagerId) + ".dat");
    ui::WaitUntil([&] { return std::filesystem::exists(cache); }, 20000);
    Sleep(1000);
    // The program's own share, before any image is stored: the rest is the store's.
    const auto armed = rig.MemoryUse();
    std::printf("QOR APP armed, no image stored: %zu KiB private, %zu KiB working set\n",
                armed.privateBytes / 1024, armed.workingSet / 1024);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        std::string error;
        // The press ends when the sensor holds the frame (the simulator computes it first).
        if (!rig.Simulator().Expose(e2e::QorAppRig::kSensorName, 1000u + static_cast<uint32_t>(i),
                                    error)) {
            std::fprintf(stderr, "qor_app_timing: %s\n", error.c_str());
            return 1;
        }
        const auto start = std::chrono::steady_clock::now();
        const bool stored = rig.WaitForStoredCount(static_cast<size_t>(i) + 1, 30000);
        if (!stored) {
            std::fprintf(stderr, "qor_app_timing: exposure %d was not stored within 30 s\n", i);
            return 1;
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    const double mean = std::accumulate(times.begin(), times.end(), 0.0) / times.size();
    std::printf("exposure to stored file over %d images: mean %.0f ms, median %.0f ms, max %.0f ms\n",
                count, mean, times[times.size() / 2], times.back());
    const auto memory = rig.MemoryUse();
    std::printf("QOR APP with %zu images stored: %zu KiB private, %zu KiB working set\n",
                rig.StoredFiles().size(), memory.privateBytes / 1024, memory.workingSet / 1024);
    PostMessageW(rig.MainWindow(1000), WM_COMMAND, 117, 0);
    rig.WaitForExit(20000);
    return 0;
}
