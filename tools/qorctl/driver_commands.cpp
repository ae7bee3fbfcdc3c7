// qorctl info and qorctl demo: the driver library through the application's own binding.
#include "tools/qorctl/commands.h"
#include "tools/qorctl/frame_files.h"

#include "app/qor_binding.h"
#include "driver/win/qor_api.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qorctl {

namespace {

// The application's image buffer size.
constexpr int32_t kImageBufferBytes = 4194304;

template <typename Fn>
Fn Entry(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qorctl: " << message << '\n';
    throw CLI::RuntimeError(1);
}

void PrintHWInfo(const HWInfo& info) {
    std::printf("hardware: %d x %d, sensor type %d, imager ID %d\n", info.width, info.height,
                info.sensorType, info.imagerId);
}

void RunInfo(bool demo) {
    CQor qor;
    if (qor.Initialize() == 0) {
        Fail("Qor.dll could not be loaded with all its entry points");
    }
    HMODULE library = qor.Library();
    if (demo) {
        Entry<int32_t(WINAPI*)(int32_t)>(library, "QorSetDemoMode")(1);
    }
    DriverVersion version{};
    Entry<DriverVersion*(WINAPI*)(DriverVersion*)>(library, "QorGetDriverVersion")(&version);
    std::printf("driver version: %d.%d.%d\n", version.major, version.minor, version.build);
    const bool open = qor.QorInitSystem() != 0;
    std::printf("sensor: %s\n", open ? "open" : "none");
    HWInfo info{};
    if (Entry<int32_t(WINAPI*)(HANDLE, HWInfo*)>(library, "QorGetHWInfo")(qor.Device(), &info)) {
        PrintHWInfo(info);
    } else {
        std::printf("hardware: no calibration loaded\n");
    }
    int32_t status[8] = {};
    Entry<int32_t(WINAPI*)(int32_t*)>(library, "QorGetDeviceStatus")(status);
    std::printf("device slots:");
    for (int32_t slot : status) {
        std::printf(" %d", slot);
    }
    std::printf("\n");
}

void RunDemo(int count, const std::filesystem::path& outDir) {
    std::filesystem::create_directories(outDir);
    CQor qor;
    if (qor.Initialize() == 0) {
        Fail("Qor.dll could not be loaded with all its entry points");
    }
    Entry<int32_t(WINAPI*)(int32_t)>(qor.Library(), "QorSetDemoMode")(1);
    if (!qor.QorInitSystem() || !qor.QorInitSensor()) {
        Fail("demo initialisation failed");
    }
    HWInfo info{};
    if (!qor.QorGetHWInfo(&info)) {
        Fail("no hardware information");
    }
    PrintHWInfo(info);
    std::vector<int32_t> buffer(kImageBufferBytes / sizeof(int32_t));
    for (int n = 0; n < count; ++n) {
        const auto start = std::chrono::steady_clock::now();
        if (!qor.QorAcquireImage()) {
            Fail("arming failed");
        }
        int32_t status = 0;
        while (qor.QorGetCapStatus(&status) && status != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (status != 1 || !qor.QorGetImgData(buffer.data(), kImageBufferBytes)) {
            Fail("no image");
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const auto saved = SaveNumberedFrame(outDir, n, buffer.data(), info.width, info.height);
        if (saved.empty()) {
            Fail("cannot write image " + std::to_string(n) + " into " + outDir.string());
        }
        std::printf("image %d: %d x %d in %.1f ms -> %s.raw, .pgm\n", n, info.width,
                    info.height, ms, saved.generic_string().c_str());
    }
    qor.QorShutDown();
}

}  // namespace

void AddDriverCommands(CLI::App& app) {
    auto* info = app.add_subcommand("info", "driver version, hardware information, device slots");
    auto demoInfo = std::make_shared<bool>(false);
    info->add_flag("--demo", *demoInfo, "switch demo mode on first");
    info->callback([demoInfo] { RunInfo(*demoInfo); });

    auto* demo = app.add_subcommand("demo", "take images in demo mode and save them");
    auto count = std::make_shared<int>(4);
    auto out = std::make_shared<std::string>();
    demo->add_option("--count", *count, "number of images")->check(CLI::Range(1, 1000));
    demo->add_option("--out", *out, "output folder")->required();
    demo->callback([count, out] { RunDemo(*count, *out); });
}

}  // namespace qorctl
