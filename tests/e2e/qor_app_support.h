// The whole-suite rig of QOR APP: a private installation folder (registry "InstalPath" pointed at
// it, language table and libraries beside it), a simulated sensor folder, and "QOR APP.exe"
// started there as a user would start it, with helpers to find its windows and answer its boxes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "external/sensor_sim/core/simulator_control.h"

namespace e2e {

namespace fs = std::filesystem;

// The registry values the test changes, restored when it ends.
class RegistryValues {
public:
    RegistryValues();
    ~RegistryValues();
    void SetString(const wchar_t* name, const std::wstring& value);
    void SetDword(const wchar_t* name, DWORD value);
    void Delete(const wchar_t* name);

private:
    struct Saved {
        std::wstring name;
        bool existed = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    void Save(const wchar_t* name);
    std::vector<Saved> m_saved;
};

class QorAppRig {
public:
    // `name` names the folder below %TEMP%; everything in it is made afresh.
    explicit QorAppRig(const std::string& name);
    ~QorAppRig();

    const fs::path& Work() const { return m_work; }
    fs::path ImagesFolder() const { return m_work / "Images"; }
    qor::sim::SimulatorControl& Simulator() { return m_simulator; }
    RegistryValues& Registry() { return m_registry; }

    // Plugs the simulated sensor (type 2, 1201 x 861) and tells running driver libraries.
    void PlugSensor();
    // Pulls it out (its flash stays for a later PlugSensor).
    void UnplugSensor();
    static constexpr uint32_t kImagerId = 0x0020100F;
    static constexpr const char* kSensorName = "e2e";

    // Runs the program from a copy in the work folder that lacks `missing` (a file name).
    void UseProgramCopyWithout(const std::string& missing);
    // Runs the test build of the program, the one with fault points ("test-hooks" below the
    // build's program folder), from a copy in the work folder.
    void UseTestHooksProgram();
    // Starts "QOR APP.exe" in the work folder; returns the process id (0 on failure).
    DWORD Start();
    // Starts one more instance and returns its exit code after at most `timeoutMs` (-1: still
    // running).
    int StartAnotherAndWait(int timeoutMs);
    HANDLE Process() const { return m_process; }
    // Runs a program of the build folder with arguments; its exit code (-1 when it hangs).
    int RunTool(const std::wstring& program, const std::wstring& arguments, int timeoutMs);
    // The hidden main dialog; nullptr until it exists.
    HWND MainWindow(int timeoutMs) const;
    // A visible message box or dialog of the program whose title starts with `title`.
    HWND WaitForDialog(const std::wstring& title, int timeoutMs) const;
    // The text of the message box's static control.
    static std::wstring BoxText(HWND box);
    bool WaitForExit(int timeoutMs);
    void Kill();

    // Stored bitmap files, sorted by name.
    std::vector<fs::path> StoredFiles() const;
    bool WaitForStoredCount(size_t count, int timeoutMs) const;
    std::string Log() const;

    // The corrected frame Qor.dll delivers for an exposure with `seed`, turned into the 8-bit
    // bitmap file image the store must write.
    std::vector<uint8_t> ExpectedBitmap(uint32_t seed);

    // Bytes of the program's private memory and working set.
    struct Memory {
        size_t privateBytes = 0;
        size_t workingSet = 0;
    };
    Memory MemoryUse() const;

private:
    // Runs `program` in the work folder; its exit code, -1 when it hangs, -2 when it cannot start.
    int RunAndWait(const fs::path& program, const std::wstring& arguments, int timeoutMs) const;

    fs::path m_bin;
    fs::path m_programFolder;
    fs::path m_work;
    RegistryValues m_registry;
    qor::sim::SimulatorControl m_simulator;
    bool m_pluggedBefore = false;
    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path);

}  // namespace e2e
