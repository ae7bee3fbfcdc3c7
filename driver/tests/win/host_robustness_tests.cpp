// Qor.dll in hosts that unload it early, shut down during a timer acquisition, unmask
// floating-point exceptions, lose an arm command or start on a busy machine: each scenario runs
// in a fresh process of host_probe, several times where a race is involved.
#include "external/sensor_sim/core/simulator_control.h"
#include "tests/support/sensor_bench.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

DWORD RunProbe(const std::string& scenario, const fs::path& workFolder) {
    return qor::test::RunProgram(L"host_probe.exe " + std::wstring(scenario.begin(), scenario.end()),
                                 workFolder, 60000);
}

TEST(HostRobustness, EveryAwkwardHostScenarioEndsCleanly) {
    const fs::path root = fs::temp_directory_path() / "qor_host_probe_sim";
    const fs::path work = fs::temp_directory_path() / "qor_host_probe_work";
    qor::sim::PlugOptions plug;
    plug.name = "probe";
    // Format 2 corrects with a gain map whose defective pixels have the gain 0.
    plug.calibration.formatVersion = 2;
    plug.calibration.imagerId = 0x0020100F;
    plug.calibration.defectPixels = 200;
    qor::sim::FitGeometryToSensorType(plug.calibration);
    std::string error;
    ASSERT_NE(nullptr, qor::test::PlugSimulatedSensor(root, work, plug, error)) << error;

    // The simulator's enumeration delay stands for a machine busy at logon: the plugged sensor
    // is still found by the first QorInitSystem, though its one-second wait has passed.
    const struct {
        const char* scenario;
        int runs;
        const wchar_t* enumerationDelayMs;
    } cases[] = {
        {"unload-young-thread", 6, nullptr},   {"unload-after-init", 3, nullptr},
        {"unload-during-timer", 2, nullptr},   {"shutdown-during-timer", 1, nullptr},
        {"unmasked-exceptions", 1, nullptr},   {"arm-command-lost", 1, nullptr},
        {"slow-first-enumeration", 1, L"2500"},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"QOR_SIM_ENUMERATION_DELAY_MS", c.enumerationDelayMs);
        for (int run = 0; run < c.runs; ++run) {
            EXPECT_EQ(0u, RunProbe(c.scenario, work)) << c.scenario << ", run " << run;
        }
    }
    SetEnvironmentVariableW(L"QOR_SIM_ENUMERATION_DELAY_MS", nullptr);
    qor::test::PointSimulatorAt({});
}

}  // namespace
