// The Wine tests' bench: a simulated sensor plugged into a fresh simulator folder that Qor.dll
// (loaded later, in this process or in a child) finds through QOR_SENSOR_SIMULATOR, and a runner
// for the helper programs a test starts and waits for.
#pragma once

#include "external/sensor_sim/core/simulator_control.h"

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

namespace qor::test {

// Points QOR_SENSOR_SIMULATOR at `root` for this process and its children: in the process's
// environment and in the C runtime's own copy of it (getenv). An empty path removes it.
void PointSimulatorAt(const std::filesystem::path& root);

// Empties `root` and `work` (the test's current folder afterwards, where the calibration cache
// files land), points the simulator at `root` and plugs the sensor `plug` describes. Returns the
// control of the simulator, or null with `error` set.
std::unique_ptr<qor::sim::SimulatorControl> PlugSimulatedSensor(
    const std::filesystem::path& root, const std::filesystem::path& work,
    const qor::sim::PlugOptions& plug, std::string& error);

// Runs `commandLine` in `folder` and waits up to `timeoutMs` for it: its exit code, or
// kNotStarted, or kTimedOut (the program is then ended).
constexpr DWORD kNotStarted = 0xFFFFFFFF;
constexpr DWORD kTimedOut = 0xFFFFFFFE;
DWORD RunProgram(std::wstring commandLine, const std::filesystem::path& folder, DWORD timeoutMs);

// A time limit of a test, stretched by QOR_TEST_TIME_SCALE (a whole number, default 1): the test
// guest runs everything under emulation, many times slower than a real processor. Only limits
// the product does not define are stretched.
DWORD Patience(DWORD milliseconds);

}  // namespace qor::test
