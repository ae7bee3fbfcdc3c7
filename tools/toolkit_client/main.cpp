// toolkit_client: an imaging program of the older kind. It opens the sensor through Qor.dll, arms
// it, waits for the exposure, fetches the image as an imaging-toolkit bitmap with one call to
// the bitmap wrapper (ordinal 1 of kelvowrap2.dll) and saves the turned bitmap as BMP and PNG.
#include "external/imaging_toolkit/core/toolkit_bitmap.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "tools/toolkit_client/picture_files.h"

#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstring>
#include <iostream>
#include <optional>

namespace {

using GetKelvoBitmapFn = int32_t(WINAPI*)(HANDLE, void*, int32_t, int32_t, int32_t, int32_t);
using InitSystemFn = HANDLE(WINAPI*)(int32_t);
using DeviceFn = int32_t(WINAPI*)(HANDLE);
using CapStatusFn = int32_t(WINAPI*)(HANDLE, int32_t*);
using FreeBitmapFn = int32_t(WINAPI*)(toolkit::Bitmap*);

constexpr int kFreeBitmapOrdinal = 110;

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const char* ByOrdinal(int ordinal) {
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(ordinal));
}

struct Options {
    std::string out = ".";
    int bits = 8;
    bool paint = false;
    int processFlag = 1;
    double waitSeconds = 60;
    std::optional<uint32_t> exposeSeed;
};

int Fail(const std::string& message) {
    std::cerr << "toolkit_client: " << message << '\n';
    return 1;
}

int Run(const Options& options) {
    HMODULE wrapper = LoadLibraryW(L"kelvowrap2.dll");
    if (wrapper == nullptr) {
        return Fail("cannot load kelvowrap2.dll (error " + std::to_string(GetLastError()) +
                    "): put it beside this program with Qor.dll, qorimg.dll, LTKRN13N.dll and "
                    "LTDIS13N.dll");
    }
    const auto getBitmap = Entry<GetKelvoBitmapFn>(wrapper, ByOrdinal(1));
    HMODULE driver = GetModuleHandleW(L"Qor.dll");
    HMODULE kernel = GetModuleHandleW(L"LTKRN13N.dll");
    const auto initSystem = Entry<InitSystemFn>(driver, "QorInitSystem");
    const auto initSensor = Entry<DeviceFn>(driver, "QorInitSensor");
    const auto acquire = Entry<DeviceFn>(driver, "QorAcquireImage");
    const auto capStatus = Entry<CapStatusFn>(driver, "QorGetCapStatus");
    const auto shutDown = Entry<DeviceFn>(driver, "QorShutDown");
    const auto freeBitmap = Entry<FreeBitmapFn>(kernel, ByOrdinal(kFreeBitmapOrdinal));
    if (!getBitmap || !initSystem || !initSensor || !acquire || !capStatus || !shutDown ||
        !freeBitmap) {
        return Fail("an entry point is missing in kelvowrap2.dll, Qor.dll or LTKRN13N.dll: "
                    "reinstall the QOR driver suite");
    }

    HANDLE device = initSystem(0);
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
        return Fail("no sensor found: plug the sensor in (or set QOR_SENSOR_SIMULATOR and run "
                    "qorctl sim plug) and try again");
    }
    if (initSensor(device) == 0 || acquire(device) == 0) {
        shutDown(device);
        return Fail("the sensor could not be prepared for an exposure: unplug it, plug it in "
                    "again and try again");
    }
    if (options.exposeSeed) {
        const auto root = qor::sim::SimulatorControl::RootFromEnvironment();
        std::string error;
        if (!root || !qor::sim::SimulatorControl(*root).Expose("", options.exposeSeed, error)) {
            shutDown(device);
            return Fail("--expose-seed needs one simulated sensor (QOR_SENSOR_SIMULATOR): " +
                        (root ? error : std::string("the variable is not set")));
        }
    }
    std::cout << "armed: waiting up to " << options.waitSeconds << " s for the exposure\n";
    int32_t status = 0;
    for (double waited = 0; waited < options.waitSeconds; waited += 0.05) {
        if (capStatus(device, &status) != 0 && status == 1) {
            break;
        }
        Sleep(50);
    }
    if (status != 1) {
        shutDown(device);
        return Fail("no exposure within the waiting time: expose the sensor sooner or give a "
                    "longer --wait");
    }
    toolkit::Bitmap bitmap{};
    if (getBitmap(device, &bitmap, 0, options.bits, options.paint ? 1 : 0,
                  options.processFlag) == 0) {
        shutDown(device);
        return Fail("GetKelvoBitmap could not read the image: try the exposure again");
    }
    shutDown(device);
    if (!toolkit::IsValid(&bitmap)) {
        return Fail("the wrapper filled no bitmap (only 8 and 16 bits per pixel give one)");
    }
    const std::string base =
        options.out + "\\kelvo_" + std::to_string(options.bits) + "bit";
    const bool saved = toolkit_client::WriteGreyBmp(bitmap, base + ".bmp") &&
                       toolkit_client::WriteGreyPng(bitmap, base + ".png");
    std::cout << "bitmap " << bitmap.width << " x " << bitmap.height << ", "
              << bitmap.bitsPerPixel << " bits per pixel\n";
    freeBitmap(&bitmap);
    if (!saved) {
        return Fail("cannot write " + base + ".bmp/.png: check that the folder exists and is "
                    "writable");
    }
    std::cout << "saved " << base << ".bmp and " << base << ".png\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"toolkit_client - fetch the sensor's image as an imaging-toolkit bitmap"};
    app.allow_windows_style_options(false);
    Options options;
    app.add_option("--out", options.out, "folder for kelvo_<bits>bit.bmp and .png")
        ->check(CLI::ExistingDirectory);
    app.add_option("--bits", options.bits, "bits per pixel of the bitmap (8 or 16)")
        ->check(CLI::IsMember({8, 16}));
    app.add_flag("--paint", options.paint, "paint the bitmap at the screen's top-left corner");
    app.add_option("--process-flag", options.processFlag, "0 raw, above 0 calibrated, 1 enhanced");
    app.add_option("--wait", options.waitSeconds, "seconds to wait for the exposure");
    app.add_option("--expose-seed", options.exposeSeed,
                   "press the simulated sensor's X-ray button with this seed once armed");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    try {
        return Run(options);
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
}
