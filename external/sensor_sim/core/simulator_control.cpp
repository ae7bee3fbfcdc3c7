// Control side of the simulator directory.
#include "external/sensor_sim/core/simulator_control.h"

#include "external/sensor_sim/core/sim_frames.h"
#include "external/sensor_sim/core/sim_prepared_frame.h"
#include "external/sensor_sim/core/sim_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace qor::sim {
namespace fs = std::filesystem;
namespace {

// Generations must never repeat for a folder, even when its state file was lost: a handle that
// outlived an unplug must not come back to life after a later plug.
uint64_t NextGeneration(uint64_t previous) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return std::max<uint64_t>(previous + 1, static_cast<uint64_t>(now > 0 ? now : 0));
}

uint32_t ImagerIdOfFlash(const std::vector<uint8_t>& flash) {
    return uint32_t(flash[8]) << 24 | uint32_t(flash[9]) << 16 | uint32_t(flash[10]) << 8 |
           uint32_t(flash[11]);
}

} // namespace

void FitGeometryToSensorType(testdata::CalibrationParams& params) {
    const uint32_t type = (params.imagerId >> 20) & 0xF;
    const bool narrow = type == 1 || type == 3;
    params.headerWidth = (narrow ? 999 : 1201) - (type == 3 || type == 4 ? 500 : 0);
    params.height = narrow ? 664 : 861;
}

SimulatorControl::SimulatorControl(fs::path root) : root_(std::move(root)) {}

std::optional<fs::path> SimulatorControl::RootFromEnvironment() {
    const char* value = std::getenv(kSimulatorEnvironmentVariable);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return fs::path(value);
}

bool SimulatorControl::Plug(const PlugOptions& options, std::string& error) {
    const std::string name =
        options.name.empty() ? std::to_string(options.calibration.imagerId) : options.name;
    if (!IsValidSensorName(name)) {
        error = "invalid sensor name '" + name + "'";
        return false;
    }
    const fs::path folder = Folder(name);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error = folder.string() + ": " + ec.message();
        return false;
    }
    SensorStateFile old;
    const bool hadState = ReadStateFile(folder, old);
    if (hadState && old.plugged) {
        error = "sensor '" + name + "' is already plugged";
        return false;
    }

    std::vector<uint8_t> flash;
    if (options.keepFlash) {
        if (!ReadFlashFile(folder, flash)) {
            error = "sensor '" + name + "' has no usable flash file to keep";
            return false;
        }
    } else if (!options.flashFile.empty()) {
        if (!ReadWholeFile(options.flashFile, flash, kFlashBytes)) {
            error = options.flashFile.string() + ": cannot read (or larger than 2 MiB)";
            return false;
        }
        flash.resize(kFlashBytes, 0xFF); // unwritten flash reads as erased
    } else {
        flash = testdata::MakeCalibrationImage(options.calibration);
        flash.resize(kFlashBytes, 0xFF);
    }
    if (!options.keepFlash && !WriteFlashFile(folder, flash)) {
        error = folder.string() + ": cannot write the flash file";
        return false;
    }

    // Presses made while the sensor was away are not taken by the new one.
    ExposureFile exposure;
    ReadExposureFile(folder, exposure);
    if (!WriteConsumedFile(folder, exposure.count)) {
        error = folder.string() + ": cannot write the exposure state";
        return false;
    }

    SensorStateFile state;
    state.plugged = true;
    state.generation = NextGeneration(hadState ? old.generation : 0);
    state.imagerId = ImagerIdOfFlash(flash);
    state.legacy = options.keepFlash && hadState ? old.legacy : options.calibration.legacy;
    state.version = options.version;
    state.faultSerial = (hadState ? old.faultSerial : 0) + 1;
    if (!WriteStateFile(folder, state)) {
        error = folder.string() + ": cannot write the state file";
        return false;
    }
    return true;
}

bool SimulatorControl::Unplug(const std::string& name, std::string& error) {
    if (!IsValidSensorName(name) || !fs::is_directory(Folder(name))) {
        error = "no sensor '" + name + "'";
        return false;
    }
    SensorStateFile state;
    const bool readable = ReadStateFile(Folder(name), state);
    if (readable && !state.plugged) {
        error = "sensor '" + name + "' is not plugged";
        return false;
    }
    // A corrupt state file already counts as unplugged; rewrite it cleanly all the same.
    state.plugged = false;
    state.generation = NextGeneration(readable ? state.generation : 0);
    if (!WriteStateFile(Folder(name), state)) {
        error = "sensor '" + name + "': cannot write the state file";
        return false;
    }
    return true;
}

bool SimulatorControl::ResolveExposed(const std::string& name, std::string& resolved,
                                      std::string& error) const {
    if (!name.empty()) {
        resolved = name;
        return true;
    }
    std::vector<std::string> plugged;
    for (const SensorListing& s : List()) {
        if (s.plugged) {
            plugged.push_back(s.name);
        }
    }
    if (plugged.size() != 1) {
        error = plugged.empty() ? "no sensor is plugged"
                                : "several sensors are plugged; name the one to expose";
        return false;
    }
    resolved = plugged.front();
    return true;
}

bool SimulatorControl::Expose(const std::string& name, std::optional<uint32_t> seed,
                              std::string& error, uint32_t* usedSeed, std::string* usedName) {
    std::string target;
    if (!ResolveExposed(name, target, error)) {
        return false;
    }
    SensorStateFile state;
    if (!IsValidSensorName(target) || !ReadStateFile(Folder(target), state) || !state.plugged) {
        error = "sensor '" + target + "' is not plugged";
        return false;
    }
    ExposureFile exposure;
    ReadExposureFile(Folder(target), exposure);
    exposure.count += 1;
    exposure.seed = seed.value_or(static_cast<uint32_t>(exposure.count));
    // The frame exists from the press on, as on a real sensor (sim_prepared_frame.h); without it
    // the device side computes the same frame itself.
    std::vector<uint8_t> flash;
    if (ReadFlashFile(Folder(target), flash)) {
        PreparedFrame prepared;
        prepared.count = exposure.count;
        prepared.seed = exposure.seed;
        prepared.legacy = state.legacy;
        prepared.flashDigest = FlashDigest(flash);
        prepared.samples = ExposureFrame(flash, exposure.seed, state.legacy);
        WritePreparedFrame(Folder(target), prepared);
    }
    if (!WriteExposureFile(Folder(target), exposure)) {
        error = "sensor '" + target + "': cannot write the exposure file";
        return false;
    }
    if (usedSeed != nullptr) {
        *usedSeed = exposure.seed;
    }
    if (usedName != nullptr) {
        *usedName = target;
    }
    return true;
}

bool SimulatorControl::SetFaults(const std::string& name, const std::vector<InjectedFault>& faults,
                                 std::string& error) {
    SensorStateFile state;
    if (!IsValidSensorName(name) || !ReadStateFile(Folder(name), state)) {
        error = "no sensor '" + name + "' with a readable state";
        return false;
    }
    state.faults = faults;
    state.faultSerial += 1;
    if (!WriteStateFile(Folder(name), state)) {
        error = "sensor '" + name + "': cannot write the state file";
        return false;
    }
    return true;
}

std::vector<SensorListing> SimulatorControl::List() const {
    std::vector<SensorListing> list;
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!IsValidSensorName(name) || !it->is_directory(ec)) {
            continue;
        }
        SensorListing entry;
        entry.name = name;
        entry.interfacePath = InterfacePathFor(name);
        SensorStateFile state;
        entry.stateReadable = ReadStateFile(it->path(), state);
        if (entry.stateReadable) {
            entry.plugged = state.plugged;
            entry.generation = state.generation;
            entry.imagerId = state.imagerId;
            entry.legacy = state.legacy;
            entry.faults = state.faults.size();
            ExposureFile exposure;
            uint64_t consumed = 0;
            ReadConsumedFile(it->path(), consumed);
            entry.exposurePending =
                ReadExposureFile(it->path(), exposure) && exposure.count > consumed;
        }
        list.push_back(entry);
    }
    std::sort(list.begin(), list.end(),
              [](const SensorListing& a, const SensorListing& b) { return a.name < b.name; });
    return list;
}

bool SimulatorControl::FrameForSeed(const std::string& requested, uint32_t seed,
                                    std::vector<int32_t>& frame, std::string& error) const {
    std::string name;
    if (!ResolveExposed(requested, name, error)) {
        return false;
    }
    std::vector<uint8_t> flash;
    if (!IsValidSensorName(name) || !ReadFlashFile(Folder(name), flash)) {
        error = "no sensor '" + name + "' with a readable flash file";
        return false;
    }
    SensorStateFile state;
    ReadStateFile(Folder(name), state);
    const std::vector<uint16_t> samples = ExposureFrame(flash, seed, state.legacy);
    if (samples.empty()) {
        error = "sensor '" + name + "': the flash header describes no frame";
        return false;
    }
    frame.assign(samples.begin(), samples.end());
    return true;
}

bool SimulatorControl::WriteFrameForSeed(const std::string& name, uint32_t seed,
                                         const fs::path& out, std::string& error) const {
    std::vector<int32_t> frame;
    if (!FrameForSeed(name, seed, frame, error)) {
        return false;
    }
    std::vector<uint8_t> bytes(frame.size() * 4);
    for (size_t i = 0; i < frame.size(); ++i) {
        const uint32_t v = static_cast<uint32_t>(frame[i]);
        bytes[4 * i] = static_cast<uint8_t>(v);
        bytes[4 * i + 1] = static_cast<uint8_t>(v >> 8);
        bytes[4 * i + 2] = static_cast<uint8_t>(v >> 16);
        bytes[4 * i + 3] = static_cast<uint8_t>(v >> 24);
    }
    if (!WriteFileAtomically(out, bytes.data(), bytes.size())) {
        error = out.string() + ": cannot write";
        return false;
    }
    return true;
}

} // namespace qor::sim
