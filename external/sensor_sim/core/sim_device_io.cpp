// Device access over the simulator directory.
#include "external/sensor_sim/core/sim_device_io.h"

#include "external/sensor_sim/core/sim_bus.h"
#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/simulator_control.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace qor::sim {
namespace fs = std::filesystem;
namespace {

// A pause fault: "paused" appears in the sensor folder and the transfer waits until the control
// side deletes it (or pulls the sensor out); after two minutes it goes on by itself, so a test
// that forgot to release it cannot hang the program for ever.
void WaitWhilePaused(const fs::path& folder, uint64_t generation) {
    const fs::path marker = folder / kPausedFileName;
    const std::string text = std::to_string(generation) + "\n";
    if (!WriteFileAtomically(marker, text.data(), text.size())) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::error_code error;
    while (fs::exists(marker, error) && std::chrono::steady_clock::now() < until) {
        SensorStateFile state;
        if (!ReadStateFile(folder, state) || !state.plugged || state.generation != generation) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fs::remove(marker, error);
}

// An unset, unreadable or negative delay is none; more than a minute is a minute.
std::chrono::milliseconds EnumerationDelayFromEnvironment() {
    const char* value = std::getenv(kEnumerationDelayEnvironmentVariable);
    if (value == nullptr) {
        return std::chrono::milliseconds(0);
    }
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || ms <= 0) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(std::min(ms, 60000L));
}

} // namespace

SimDeviceIo::SimDeviceIo(fs::path root, std::chrono::milliseconds enumerationDelay)
    : root_(std::move(root)), enumerationDelay_(enumerationDelay) {}

std::unique_ptr<SimDeviceIo> SimDeviceIo::FromEnvironment() {
    const auto root = SimulatorControl::RootFromEnvironment();
    return root ? std::make_unique<SimDeviceIo>(*root, EnumerationDelayFromEnvironment())
                : nullptr;
}

bool SimDeviceIo::EnumerateInterfaces(std::vector<std::string>& paths) {
    std::this_thread::sleep_for(enumerationDelay_);
    paths.clear();
    for (const SensorListing& sensor : SimulatorControl(root_).List()) {
        if (sensor.plugged) {
            paths.push_back(sensor.interfacePath);
        }
    }
    return true;
}

DeviceHandle SimDeviceIo::Open(const std::string& path) {
    std::string name;
    for (const SensorListing& sensor : SimulatorControl(root_).List()) {
        if (SamePath(sensor.interfacePath, path)) {
            name = sensor.name;
            break;
        }
    }
    const fs::path folder = root_ / name;
    SensorStateFile state;
    if (name.empty() || !ReadStateFile(folder, state) || !state.plugged) {
        return kNoDevice;
    }

    std::lock_guard lock(mutex_);
    std::shared_ptr<Live>& live = live_[name];
    if (!live || live->generation != state.generation) {
        // The flash is read once per plug; later reads and writes work on the copy in memory.
        std::vector<uint8_t> flash;
        if (!ReadFlashFile(folder, flash)) {
            return kNoDevice;
        }
        auto fresh = std::make_shared<Live>();
        fresh->name = name;
        fresh->folder = folder;
        fresh->generation = state.generation;
        fresh->faultSerial = state.faultSerial;
        ReadConsumedFile(folder, fresh->consumed);
        fresh->sensor = std::make_shared<SimSensor>(std::move(flash), state.legacy);
        fresh->sensor->SetVersion(state.version[0], state.version[1], state.version[2]);
        fresh->sensor->SetFaults(state.faults);
        fresh->sensor->SetFlashListener([folder](const std::vector<uint8_t>& bytes, uint32_t,
                                                 uint32_t) { WriteFlashFile(folder, bytes); });
        const uint64_t generation = state.generation;
        // The sensor and its handler live exactly as long as `fresh`.
        Live* owner = fresh.get();
        fresh->sensor->SetPauseHandler([folder, generation, owner] {
            WaitWhilePaused(folder, generation);
            owner->mustCheck = true;
        });
        live = fresh;
    }
    const DeviceHandle handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = live;
    return handle;
}

void SimDeviceIo::Close(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    handles_.erase(handle);
}

std::shared_ptr<SimSensor> SimDeviceIo::SensorFor(DeviceHandle handle) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second->sensor;
}

bool SimDeviceIo::StillAttached(Live& live, bool force) {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t writes = DirectoryWritesInThisProcess();
    if (!force && !live.mustCheck && writes == live.checkedWrites &&
        now - live.checkedAt < kStateRecheck) {
        return live.sensor->Plugged();
    }
    SensorStateFile state;
    // A missing or corrupt state file reads as an unplugged sensor.
    if (!ReadStateFile(live.folder, state) || !state.plugged ||
        state.generation != live.generation || !live.sensor->Plugged()) {
        live.mustCheck = true;
        return false;
    }
    if (state.faultSerial != live.faultSerial) {
        live.faultSerial = state.faultSerial;
        live.sensor->SetFaults(state.faults);
    }
    live.checkedAt = now;
    live.checkedWrites = writes;
    live.mustCheck = false;
    return true;
}

bool SimDeviceIo::PressWaiting(Live& live, ExposureFile& exposure) {
    return live.sensor->state() == SimSensor::State::Armed &&
           ReadExposureFile(live.folder, exposure) && exposure.count > live.consumed;
}

void SimDeviceIo::TakePendingExposure(Live& live, const ExposureFile& exposure) {
    PreparedFrame prepared;
    const bool ready = ReadPreparedFrame(live.folder, prepared) &&
                       prepared.count == exposure.count && prepared.seed == exposure.seed;
    if (live.sensor->Expose(exposure.seed, ready ? &prepared : nullptr)) {
        live.consumed = exposure.count;
        WriteConsumedFile(live.folder, exposure.count);
    }
}

void SimDeviceIo::ReportUnplug(Live& live) {
    // An unplug injected as a fault shows in the directory, so that enumeration drops it.
    if (live.reportedUnplug) {
        return;
    }
    live.reportedUnplug = true;
    SensorStateFile state;
    if (ReadStateFile(live.folder, state) && state.plugged && state.generation == live.generation) {
        std::string ignored;
        SimulatorControl(root_).Unplug(live.name, ignored);
    }
}

template <typename Transfer>
bool SimDeviceIo::Run(DeviceHandle handle, Pipe pipe, Transfer&& transfer) {
    std::shared_ptr<Live> live;
    {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return false;
        }
        live = it->second;
    }
    std::lock_guard lock(live->mutex);
    // The X-ray button is noticed between exchanges, as the firmware polls its detector. A press
    // is written after any fault meant for it, so the state file is read afresh before it.
    ExposureFile exposure;
    const bool press = pipe == Pipe::CommandOut && PressWaiting(*live, exposure);
    if (!StillAttached(*live, press)) {
        return false;
    }
    if (press) {
        TakePendingExposure(*live, exposure);
    }
    const bool ok = transfer(*live->sensor);
    if (!live->sensor->Plugged()) {
        ReportUnplug(*live);
    }
    return ok;
}

bool SimDeviceIo::BulkWrite(DeviceHandle handle, Pipe pipe, const uint8_t* data, uint32_t length) {
    return Run(handle, pipe, [&](SimSensor& sensor) { return sensor.Write(pipe, data, length); });
}

bool SimDeviceIo::BulkRead(DeviceHandle handle, Pipe pipe, uint8_t* data, uint32_t length) {
    return Run(handle, pipe, [&](SimSensor& sensor) { return sensor.Read(pipe, data, length); });
}

} // namespace qor::sim
