// Control of the simulated sensors from any process: plug, unplug, press the X-ray button, inject
// faults, list, and compute the raw frame an exposure with a given seed delivers.
#pragma once

#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/test_data.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qor::sim {

struct PlugOptions {
    std::string name;                        // sensor folder; empty: the imager ID in decimal
    testdata::CalibrationParams calibration; // flash generated from these ...
    std::filesystem::path flashFile;         // ... unless a flash image file is given
    bool keepFlash = false;                  // plug an existing sensor again with its flash as is
    std::array<uint8_t, 3> version{2, 7, 1};
};

struct SensorListing {
    std::string name;
    std::string interfacePath;
    bool plugged = false;
    bool stateReadable = false; // false: state file missing or corrupt (counts as unplugged)
    uint64_t generation = 0;
    uint32_t imagerId = 0;
    bool legacy = false;
    bool exposurePending = false;
    size_t faults = 0;
};

// Sets the header geometry of `params` to the real frame of its sensor type: types 1 and 3
// 999 x 664, types 2 and 4 (and any other) 1201 x 861; types 3 and 4 store the width less 500.
void FitGeometryToSensorType(testdata::CalibrationParams& params);

class SimulatorControl {
public:
    explicit SimulatorControl(std::filesystem::path root);
    // The directory named by QOR_SENSOR_SIMULATOR, if the variable is set and not empty.
    static std::optional<std::filesystem::path> RootFromEnvironment();

    const std::filesystem::path& root() const { return root_; }

    // Each returns false with a message in `error` when it cannot do what was asked.
    bool Plug(const PlugOptions& options, std::string& error);
    bool Unplug(const std::string& name, std::string& error);
    // Presses the X-ray button of one sensor (an empty name: the only plugged sensor). The
    // exposure stays pending until the sensor is armed, then it is captured; a later press
    // replaces a pending one. Without a seed the press's own number is used. `usedSeed` and
    // `usedName` tell which.
    bool Expose(const std::string& name, std::optional<uint32_t> seed, std::string& error,
                uint32_t* usedSeed = nullptr, std::string* usedName = nullptr);
    // Replaces the fault list of a sensor (an empty list clears it). Skip and count start afresh.
    bool SetFaults(const std::string& name, const std::vector<InjectedFault>& faults,
                   std::string& error);
    std::vector<SensorListing> List() const;
    // The raw frame (one zero-extended 16-bit sample per value) an exposure with `seed` delivers
    // (an empty name: the only plugged sensor).
    bool FrameForSeed(const std::string& name, uint32_t seed, std::vector<int32_t>& frame,
                      std::string& error) const;
    // Same, written as little-endian int32 values.
    bool WriteFrameForSeed(const std::string& name, uint32_t seed, const std::filesystem::path& out,
                           std::string& error) const;

private:
    std::filesystem::path Folder(const std::string& name) const { return root_ / name; }
    bool ResolveExposed(const std::string& name, std::string& resolved, std::string& error) const;

    std::filesystem::path root_;
};

} // namespace qor::sim
