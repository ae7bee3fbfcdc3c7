// The simulator directory shared between processes (named by QOR_SENSOR_SIMULATOR): one folder
// per sensor, each file with a single writer and replaced atomically (temporary file + rename).
//   <name>/state.txt     control side: plugged flag, generation, identity, version, faults
//   <name>/flash.bin     the 2 MiB flash; control side at plug, device side after a flash write
//   <name>/exposure.txt  control side: count and seed of the latest press of the X-ray button
//   <name>/exposure.frame control side: the frame of that press (sim_prepared_frame.h)
//   <name>/consumed.txt  device side: the exposure count the sensor last took
//   <name>/paused        device side: a transfer stalls on a pause fault; delete it to release
#pragma once

#include "external/sensor_sim/core/sim_faults.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qor::sim {

inline constexpr char kSimulatorEnvironmentVariable[] = "QOR_SENSOR_SIMULATOR";
// Milliseconds each enumeration takes (at most a minute): a busy machine, for the tests of the
// driver's first-enumeration wait.
inline constexpr char kEnumerationDelayEnvironmentVariable[] = "QOR_SIM_ENUMERATION_DELAY_MS";
inline constexpr char kPausedFileName[] = "paused";

struct SensorStateFile {
    bool plugged = false;
    uint64_t generation = 0; // raised at every plug and unplug; a handle lives for one value
    uint32_t imagerId = 0;   // as the flash was generated (the flash is the truth)
    bool legacy = false;     // exposures use the legacy reading of the calibration
    std::array<uint8_t, 3> version{2, 7, 1};
    uint64_t faultSerial = 0; // raised whenever the fault list is replaced
    std::vector<InjectedFault> faults;
};

struct ExposureFile {
    uint64_t count = 0; // presses so far; a count above the consumed one is pending
    uint32_t seed = 0;
};

// Sensor folder names: 1..64 of A-Z a-z 0-9 _ - . and not starting with a dot.
bool IsValidSensorName(const std::string& name);
// The device interface path the simulated kernel driver reports for a sensor folder.
std::string InterfacePathFor(const std::string& name);

// The text forms of the state and counter files; false for malformed text.
bool ParseStateText(const std::string& text, SensorStateFile& state);
bool ParseExposureText(const std::string& text, ExposureFile& exposure);
bool ParseConsumedText(const std::string& text, uint64_t& count);

// Each reader returns false when the file is missing, unreadable or malformed.
bool ReadStateFile(const std::filesystem::path& folder, SensorStateFile& state);
bool WriteStateFile(const std::filesystem::path& folder, const SensorStateFile& state);
bool ReadExposureFile(const std::filesystem::path& folder, ExposureFile& exposure);
bool WriteExposureFile(const std::filesystem::path& folder, const ExposureFile& exposure);
bool ReadConsumedFile(const std::filesystem::path& folder, uint64_t& count);
bool WriteConsumedFile(const std::filesystem::path& folder, uint64_t count);
// The flash file must hold exactly 2 MiB.
bool ReadFlashFile(const std::filesystem::path& folder, std::vector<uint8_t>& flash);
bool WriteFlashFile(const std::filesystem::path& folder, const std::vector<uint8_t>& flash);

// Writes a temporary file beside `target` and renames it over the target, retrying for a while
// when a reader holds the target open (Windows refuses the rename then).
bool WriteFileAtomically(const std::filesystem::path& target, const void* data, size_t size);
// How many files this process has written into simulator directories (readers that keep what
// they read use it to see their own process's changes at once).
uint64_t DirectoryWritesInThisProcess();
// Reads a whole file of at most `maxBytes`; retries briefly while a rename is in progress.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<uint8_t>& bytes, size_t maxBytes);

} // namespace qor::sim
