// Figures of the sensor path against the simulated sensor: calibration load from the flash and
// from the cache file, and the time from a captured exposure to the corrected frame in the
// caller's buffer (status query, 64-window read-out, correction with enhancement).
#include "driver/core/acquisition.h"
#include "driver/core/calibration_cache.h"
#include "external/sensor_sim/core/sim_bus.h"
#include "external/sensor_sim/core/sim_device_io.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "external/sensor_sim/core/test_data.h"
#include "imageproc/core/qor_image_proc.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace qor;

const std::vector<uint8_t>& BenchFlash() {
    static const std::vector<uint8_t> flash = [] {
        qor::testdata::CalibrationParams params; // format 3, type 2, 1201 x 861
        return qor::testdata::MakeCalibrationImage(params);
    }();
    return flash;
}

fs::path ScratchDir(const char* name) {
    const fs::path dir = fs::temp_directory_path() / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

struct BusRig {
    qor::sim::SimBus bus;
    SensorPort port;
    std::shared_ptr<qor::sim::SimSensor> sensor;
    DeviceHandle handle = kNoDevice;

    BusRig() {
        port.io = &bus;
        sensor = bus.Plug("bench-sensor", BenchFlash());
        port.devices.ApplyInitialEnumeration(EnumerateDevices(port));
        handle = OpenDevice(port, "mivonusb-0");
    }
};

// A sensor plugged into a fresh simulator folder and opened through the directory-backed device.
struct DirectoryRig {
    fs::path root;
    qor::sim::SimulatorControl control;
    qor::sim::SimDeviceIo io;
    SensorPort port;
    DeviceHandle handle = kNoDevice;

    explicit DirectoryRig(const char* name) : root(ScratchDir(name)), control(root), io(root) {
        qor::sim::PlugOptions options;
        options.name = "bench";
        std::string error;
        control.Plug(options, error);
        port.io = &io;
        port.devices.ApplyInitialEnumeration(EnumerateDevices(port));
        handle = OpenDevice(port, "mivonusb-0");
    }
    ~DirectoryRig() { fs::remove_all(root); }
};

// The raw phantom frame of seed 1, as 16-bit samples.
std::vector<uint16_t> BenchFrame() {
    const auto raw = qor::testdata::MakeRawFrame(BenchFlash(), 1);
    return std::vector<uint16_t>(raw.begin(), raw.end());
}

void BM_CalibrationLoadFromFlash(benchmark::State& state) {
    BusRig rig;
    const fs::path dir = ScratchDir("qor-bench-flash");
    for (auto _ : state) {
        fs::remove(dir / CacheFileName(0x00200123));
        Calibration calibration;
        LoadSensorCalibration(rig.port, rig.handle, calibration, CalibrationLoader::Standard,
                              nullptr, dir);
        benchmark::DoNotOptimize(calibration.set.pixelCount);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_CalibrationLoadFromFlash)->Unit(benchmark::kMillisecond);

void BM_CalibrationLoadFromCache(benchmark::State& state) {
    BusRig rig;
    const fs::path dir = ScratchDir("qor-bench-cache");
    Calibration first;
    LoadSensorCalibration(rig.port, rig.handle, first, CalibrationLoader::Standard, nullptr, dir);
    for (auto _ : state) {
        Calibration calibration;
        LoadSensorCalibration(rig.port, rig.handle, calibration, CalibrationLoader::Standard,
                              nullptr, dir);
        benchmark::DoNotOptimize(calibration.set.pixelCount);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_CalibrationLoadFromCache)->Unit(benchmark::kMillisecond);

// Capture to corrected frame: the frame is captured outside the timing (as the sensor does on
// its own), then the library's image-data call runs.
void CaptureToFrame(benchmark::State& state, SensorPort& port, DeviceHandle handle,
                    const Calibration& calibration, const std::function<void()>& expose) {
    AcquisitionServices services;
    services.correction.enhance = QorImageProc1;
    std::vector<int32_t> buffer(1048576);
    for (auto _ : state) {
        state.PauseTiming();
        Arm(port, calibration, handle);
        expose();
        state.ResumeTiming();
        int32_t status = 0;
        QorGetCapStatus(port, handle, &status);
        const int32_t ok =
            KelvoGetImgData(port, calibration, handle, static_cast<int32_t>(buffer.size() * 4),
                            buffer.data(), 1, services);
        benchmark::DoNotOptimize(ok);
    }
}

void BM_CaptureToCorrectedFrame_InProcess(benchmark::State& state) {
    BusRig rig;
    Calibration calibration;
    LoadCalibration(calibration, BenchFlash().data(), nullptr);
    const std::vector<uint16_t> frame = BenchFrame();
    rig.sensor->SetFrameSource([&](uint32_t) { return frame; });
    CaptureToFrame(state, rig.port, rig.handle, calibration, [&] { rig.sensor->Expose(1); });
}
BENCHMARK(BM_CaptureToCorrectedFrame_InProcess)->Unit(benchmark::kMillisecond);

void BM_CaptureToCorrectedFrame_SimulatorDirectory(benchmark::State& state) {
    DirectoryRig rig("qor-bench-sim");
    Calibration calibration;
    LoadCalibration(calibration, BenchFlash().data(), nullptr);
    const std::vector<uint16_t> frame = BenchFrame();
    rig.io.SensorFor(rig.handle)->SetFrameSource([&](uint32_t) { return frame; });
    CaptureToFrame(state, rig.port, rig.handle, calibration, [&] {
        std::string ignored;
        rig.control.Expose("bench", 1u, ignored);
    });
}
BENCHMARK(BM_CaptureToCorrectedFrame_SimulatorDirectory)->Unit(benchmark::kMillisecond);

// The read-out alone (64 windows through the directory-backed device), without correction.
void BM_FrameReadOut_SimulatorDirectory(benchmark::State& state) {
    DirectoryRig rig("qor-bench-read");
    rig.io.SensorFor(rig.handle)->SetFrameSource(
        [](uint32_t) { return std::vector<uint16_t>(1201 * 861, 1000); });
    Calibration none;
    none.set.imagerId = 0x00200000;
    Arm(rig.port, none, rig.handle);
    rig.io.SensorFor(rig.handle)->Expose(1);
    std::vector<int32_t> buffer(1201 * 861);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadImagePixels(rig.port, rig.handle,
                                                 static_cast<int32_t>(buffer.size()), buffer.data()));
    }
}
BENCHMARK(BM_FrameReadOut_SimulatorDirectory)->Unit(benchmark::kMillisecond);

} // namespace
