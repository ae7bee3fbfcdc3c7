// qorctl list, acquire and dump-flash: a real (or simulated) sensor through the driver library.
#include "tools/qorctl/commands.h"
#include "tools/qorctl/frame_files.h"

#include "app/qor_binding.h"
#include "driver/win/qor_api.h"
#include "driver/win/win32_device_io.h"
#include "external/sensor_sim/core/sim_device_io.h"

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

constexpr int32_t kImageBufferBytes = 4194304;

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qorctl: " << message << '\n';
    throw CLI::RuntimeError(1);
}

void RunList() {
    // The library's view: start its notification window and read the slots.
    HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (QorInitEventNotification(changed) == 0) {
        Fail("the notification thread could not be started");
    }
    WaitForSingleObject(changed, 2000);
    int32_t status[8] = {};
    QorGetDeviceStatus(status);
    std::printf("slots:");
    for (int32_t slot : status) {
        std::printf(" %s", slot ? "present" : "-");
    }
    std::printf("\n");
    // The interfaces as the same device access enumerates them.
    std::unique_ptr<qor::DeviceIo> io = qor::sim::SimDeviceIo::FromEnvironment();
    if (!io) {
        io = std::make_unique<Win32DeviceIo>();
    }
    std::vector<std::string> paths;
    io->EnumerateInterfaces(paths);
    for (size_t i = 0; i < paths.size(); ++i) {
        std::printf("%s%zu: %s\n", i < 8 ? "mivonusb-" : "(not addressable) ", i, paths[i].c_str());
    }
    if (paths.empty()) {
        std::printf("no sensor interfaces\n");
    }
    CloseHandle(changed);
}

void RunAcquire(int count, const std::filesystem::path& outDir, int waitSeconds) {
    std::filesystem::create_directories(outDir);
    CQor qor;
    if (qor.Initialize() == 0) {
        Fail("Qor.dll could not be loaded with all its entry points");
    }
    const auto initStart = std::chrono::steady_clock::now();
    if (!qor.QorInitSystem()) {
        Fail("no sensor could be opened");
    }
    std::printf("initialised in %.1f ms (calibration from the cache file or the flash)\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                          initStart)
                    .count());
    if (!qor.QorInitSensor()) {
        Fail("the sensor has no calibration");
    }
    HWInfo info{};
    if (!qor.QorGetHWInfo(&info)) {
        Fail("no hardware information");
    }
    std::printf("sensor: %d x %d, type %d, imager ID %d\n", info.width, info.height,
                info.sensorType, info.imagerId);
    std::vector<int32_t> buffer(kImageBufferBytes / sizeof(int32_t));
    for (int n = 0; n < count; ++n) {
        if (!qor.QorAcquireImage()) {
            Fail("arming failed");
        }
        std::printf("armed: waiting for the exposure\n");
        std::fflush(stdout);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        bool stored = false;
        while (!stored) {
            if (std::chrono::steady_clock::now() > deadline) {
                qor.QorCancelAcquireImage();
                Fail("no exposure within " + std::to_string(waitSeconds) + " s");
            }
            int32_t status = 0;
            if (!qor.QorGetCapStatus(&status)) {
                Fail("the sensor does not answer");
            }
            if (status == 1) {
                const auto start = std::chrono::steady_clock::now();
                stored = qor.QorGetImgData(buffer.data(), kImageBufferBytes) != 0;
                const double ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
                if (stored) {
                    std::printf("image %d read and corrected in %.1f ms\n", n, ms);
                }
            }
            if (!stored) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        const auto saved = SaveNumberedFrame(outDir, n, buffer.data(), info.width, info.height);
        if (saved.empty()) {
            Fail("cannot write image " + std::to_string(n) + " into " + outDir.string());
        }
        std::printf("image %d -> %s.raw, .pgm\n", n, saved.generic_string().c_str());
    }
    qor.QorShutDown();
}

void RunDumpFlash(const std::string& out) {
    HANDLE device = QorInitRawSystem(0);
    if (device == nullptr) {
        Fail("no sensor could be opened");
    }
    const int32_t result = readFlashAndWriteToFile(device, out.c_str());
    KelvoShutDown(device);
    if (result != 0) {
        Fail("flash dump failed with " + std::to_string(result) + " (-2: the file did not open, "
             "-3: short write, -1: no memory)");
    }
    std::printf("flash written to %s\n", out.c_str());
}

}  // namespace

void AddSensorCommands(CLI::App& app) {
    app.add_subcommand("list", "the library's eight device slots and the sensor interfaces")
        ->callback(RunList);

    auto* acquire = app.add_subcommand("acquire", "arm, wait for the exposure, read and save");
    auto count = std::make_shared<int>(1);
    auto out = std::make_shared<std::string>();
    auto wait = std::make_shared<int>(120);
    acquire->add_option("--count", *count, "number of images")->check(CLI::Range(1, 1000));
    acquire->add_option("--out", *out, "output folder")->required();
    acquire->add_option("--wait", *wait, "seconds to wait for each exposure");
    acquire->callback([count, out, wait] { RunAcquire(*count, *out, *wait); });

    auto* dump = app.add_subcommand("dump-flash", "copy the sensor's flash into a file");
    auto dumpOut = std::make_shared<std::string>();
    dump->add_option("--out", *dumpOut, "output file")->required();
    dump->callback([dumpOut] { RunDumpFlash(*dumpOut); });
}

}  // namespace qorctl
