#include "tests/support/sensor_bench.h"

#include <cstdlib>
#include <system_error>

namespace qor::test {

namespace fs = std::filesystem;

void PointSimulatorAt(const fs::path& root) {
    const std::wstring value = root.wstring();
    SetEnvironmentVariableW(L"QOR_SENSOR_SIMULATOR", value.empty() ? nullptr : value.c_str());
    _wputenv_s(L"QOR_SENSOR_SIMULATOR", value.c_str());  // an empty value removes it
}

std::unique_ptr<qor::sim::SimulatorControl> PlugSimulatedSensor(const fs::path& root,
                                                               const fs::path& work,
                                                               const qor::sim::PlugOptions& plug,
                                                               std::string& error) {
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::remove_all(work, ignored);
    fs::create_directories(root);
    fs::create_directories(work);
    PointSimulatorAt(root);
    SetCurrentDirectoryW(work.wstring().c_str());
    auto control = std::make_unique<qor::sim::SimulatorControl>(root);
    if (!control->Plug(plug, error)) {
        return nullptr;
    }
    return control;
}

DWORD RunProgram(std::wstring commandLine, const fs::path& folder, DWORD timeoutMs) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.wstring().c_str(), &startup, &process)) {
        return kNotStarted;
    }
    CloseHandle(process.hThread);
    DWORD code = kTimedOut;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, kTimedOut);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hProcess);
    return code;
}

DWORD Patience(DWORD milliseconds) {
    static const DWORD scale = [] {
        const char* text = std::getenv("QOR_TEST_TIME_SCALE");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return value >= 1 && value <= 100 ? static_cast<DWORD>(value) : DWORD{1};
    }();
    return milliseconds * scale;
}

}  // namespace qor::test
