// Qor.dll in hosts that unload it early, shut down during a timer acquisition, unmask
// floating-point exceptions or lose an arm command: each scenario runs in a fresh process of
// host_probe, several times where a race is involved.
#include "external/sensor_sim/core/simulator_control.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

DWORD RunProbe(const std::string& scenario, const fs::path& workFolder) {
    std::wstring commandLine = L"host_probe.exe " + std::wstring(scenario.begin(), scenario.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workFolder.wstring().c_str(), &startup, &process)) {
        return 0xFFFFFFFF;
    }
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 0xDEAD);
    }
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(HostRobustness, EveryAwkwardHostScenarioEndsCleanly) {
    const fs::path root = fs::temp_directory_path() / "qor_host_probe_sim";
    const fs::path work = fs::temp_directory_path() / "qor_host_probe_work";
    fs::remove_all(root);
    fs::remove_all(work);
    fs::create_directories(work);
    SetEnvironmentVariableW(L"QOR_SENSOR_SIMULATOR", root.wstring().c_str());
    qor::sim::SimulatorControl control(root);
    qor::sim::PlugOptions plug;
    plug.name = "probe";
    // Format 2 corrects with a gain map whose defective pixels have the gain 0.
    plug.calibration.formatVersion = 2;
    plug.calibration.imagerId = 0x0020100F;
    plug.calibration.defectPixels = 200;
    qor::sim::FitGeometryToSensorType(plug.calibration);
    std::string error;
    ASSERT_TRUE(control.Plug(plug, error)) << error;

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
    SetEnvironmentVariableW(L"QOR_SENSOR_SIMULATOR", nullptr);
}

}  // namespace
