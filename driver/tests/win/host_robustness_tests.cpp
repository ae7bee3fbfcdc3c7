// Qor.dll in hosts that unload it early, shut down during a timer acquisition, unmask
// floating-point exceptions or lose an arm command: each scenario runs in a fresh process of
// host_probe, several times where a race is involved.
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

    const struct {
        const char* scenario;
        int runs;
    } cases[] = {
        {"unload-young-thread", 6},   {"unload-after-init", 3},     {"unload-during-timer", 2},
        {"shutdown-during-timer", 1}, {"unmasked-exceptions", 1},   {"arm-command-lost", 1},
    };
    for (const auto& c : cases) {
        for (int run = 0; run < c.runs; ++run) {
            EXPECT_EQ(0u, RunProbe(c.scenario, work)) << c.scenario << ", run " << run;
        }
    }
    qor::test::PointSimulatorAt({});
}

}  // namespace
