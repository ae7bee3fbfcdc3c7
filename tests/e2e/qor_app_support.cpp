// The whole-suite rig of QOR APP.
#include "tests/e2e/qor_app_support.h"

#include "app/core/gray_bitmap.h"
#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/sensor_sim/win/device_change_broadcast.h"
#include "imageproc/core/qor_image_proc.h"
#include "tests/support/sensor_bench.h"
#include "tests/support/ui_robot.h"

#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace e2e {
namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";

fs::path ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

struct Search {
    DWORD processId;
    const std::wstring* title;
    bool visibleOnly;
    HWND found = nullptr;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || (search->visibleOnly && !IsWindowVisible(window))) {
        return TRUE;
    }
    if (ui::ClassName(window) == L"#32770" && ui::Text(window).rfind(*search->title, 0) == 0) {
        // The main dialog has no controls; boxes and dialogs have.
        if (search->visibleOnly == !ui::Children(window).empty()) {
            search->found = window;
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

RegistryValues::RegistryValues() = default;

RegistryValues::~RegistryValues() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->existed) {
            RegSetValueExW(key, it->name.c_str(), 0, it->type, it->data.data(),
                           static_cast<DWORD>(it->data.size()));
        } else {
            RegDeleteValueW(key, it->name.c_str());
        }
    }
    RegCloseKey(key);
}

void RegistryValues::Save(const wchar_t* name) {
    for (const Saved& saved : m_saved) {
        if (saved.name == name) {
            return;
        }
    }
    Saved saved;
    saved.name = name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
            saved.data.resize(size);
            saved.existed = RegQueryValueExW(key, name, nullptr, &saved.type, saved.data.data(),
                                             &size) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    m_saved.push_back(std::move(saved));
}

void RegistryValues::SetString(const wchar_t* name, const std::wstring& value) {
    Save(name);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void RegistryValues::SetDword(const wchar_t* name, DWORD value) {
    Save(name);
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

void RegistryValues::Delete(const wchar_t* name) {
    Save(name);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

QorAppRig::QorAppRig(const std::string& name)
    : m_bin(ProgramFolder()),
      m_programFolder(m_bin),
      m_work(fs::temp_directory_path() / "qor_app_e2e" / name),
      m_simulator(m_work / "sim") {
    std::error_code ignored;
    fs::remove_all(m_work, ignored);
    fs::create_directories(m_work / "sim");
    // The program reads its language table and libraries from its current folder.
    for (const char* file : {"Language.ini", "german.dll", "french.dll"}) {
        fs::copy_file(m_bin / file, m_work / file, fs::copy_options::overwrite_existing, ignored);
    }
    m_registry.SetString(L"InstalPath", m_work.wstring());
    m_registry.SetDword(L"LanguageID", 1033);
    m_registry.SetDword(L"LogLevel", 0);
    qor::test::PointSimulatorAt(m_work / "sim");
}

QorAppRig::~QorAppRig() {
    Kill();
    qor::test::PointSimulatorAt({});
}

void QorAppRig::UnplugSensor() {
    std::string path;
    for (const auto& sensor : m_simulator.List()) {
        if (sensor.name == kSensorName) {
            path = sensor.interfacePath;
        }
    }
    std::string error;
    if (m_simulator.Unplug(kSensorName, error) && !path.empty()) {
        qor::sim::BroadcastInterfaceRemoval(path);
    }
}

void QorAppRig::PlugSensor() {
    qor::sim::PlugOptions plug;
    plug.name = kSensorName;
    plug.keepFlash = m_pluggedBefore;
    m_pluggedBefore = true;
    plug.calibration.imagerId = kImagerId;
    plug.calibration.formatVersion = 3;
    plug.calibration.badRows = {100, 101};
    plug.calibration.badColumns = {640};
    qor::sim::FitGeometryToSensorType(plug.calibration);
    std::string error;
    if (!m_simulator.Plug(plug, error)) {
        return;
    }
    for (const auto& sensor : m_simulator.List()) {
        if (sensor.name == kSensorName) {
            qor::sim::BroadcastInterfaceArrival(sensor.interfacePath);
        }
    }
}

void QorAppRig::UseProgramCopyWithout(const std::string& missing) {
    m_programFolder = m_work / "program";
    fs::create_directories(m_programFolder);
    std::error_code ignored;
    for (const char* file : {"QOR APP.exe", "Qor.dll", "qorimg.dll", "qorsim.dll", "Orbel.dll",
                             "QorIcons.dll"}) {
        if (missing != file) {
            fs::copy_file(m_bin / file, m_programFolder / file,
                          fs::copy_options::overwrite_existing, ignored);
        }
    }
}

void QorAppRig::UseTestHooksProgram() {
    UseProgramCopyWithout("");
    std::error_code ignored;
    fs::copy_file(m_bin / "test-hooks" / "QOR APP.exe", m_programFolder / "QOR APP.exe",
                  fs::copy_options::overwrite_existing, ignored);
}

DWORD QorAppRig::Start() {
    const std::wstring program = (m_programFolder / "QOR APP.exe").wstring();
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        m_work.wstring().c_str(), &startup, &info)) {
        return 0;
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    return m_processId;
}

int QorAppRig::StartAnotherAndWait(int timeoutMs) {
    return RunAndWait(m_programFolder / "QOR APP.exe", L"", timeoutMs);
}

int QorAppRig::RunTool(const std::wstring& program, const std::wstring& arguments,
                       int timeoutMs) {
    return RunAndWait(m_bin / program, arguments, timeoutMs);
}

int QorAppRig::RunAndWait(const fs::path& program, const std::wstring& arguments,
                          int timeoutMs) const {
    const DWORD code = qor::test::RunProgram(L"\"" + program.wstring() + L"\" " + arguments, m_work,
                                             static_cast<DWORD>(timeoutMs));
    if (code == qor::test::kNotStarted) {
        return -2;
    }
    return code == qor::test::kTimedOut ? -1 : static_cast<int>(code);
}

HWND QorAppRig::MainWindow(int timeoutMs) const {
    const std::wstring title = L"QOR APP";
    Search search{m_processId, &title, false};
    ui::WaitUntil(
        [&] {
            EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

HWND QorAppRig::WaitForDialog(const std::wstring& title, int timeoutMs) const {
    Search search{m_processId, &title, true};
    ui::WaitUntil(
        [&] {
            EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

std::wstring QorAppRig::BoxText(HWND box) {
    std::wstring best;
    for (HWND child : ui::Children(box)) {
        if (ui::ClassName(child) == L"Static") {
            std::wstring text = ui::Text(child);
            if (text.size() > best.size()) {
                best = text;
            }
        }
    }
    return best;
}

bool QorAppRig::WaitForExit(int timeoutMs) {
    if (m_process == nullptr) {
        return true;
    }
    if (WaitForSingleObject(m_process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(m_process);
    m_process = nullptr;
    return true;
}

void QorAppRig::Kill() {
    if (m_process != nullptr) {
        TerminateProcess(m_process, 99);
        WaitForSingleObject(m_process, 5000);
        CloseHandle(m_process);
        m_process = nullptr;
    }
}

std::vector<fs::path> QorAppRig::StoredFiles() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ImagesFolder(), error)) {
        if (entry.path().extension() == ".bmp") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool QorAppRig::WaitForStoredCount(size_t count, int timeoutMs) const {
    return ui::WaitUntil([&] { return StoredFiles().size() == count; }, timeoutMs);
}

std::string QorAppRig::Log() const {
    const std::vector<uint8_t> bytes = ReadFileBytes(m_work / "QorAPPLog.txt");
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> QorAppRig::ExpectedBitmap(uint32_t seed) {
    std::vector<int32_t> frame;
    std::string error;
    if (!m_simulator.FrameForSeed(kSensorName, seed, frame, error)) {
        return {};
    }
    // The calibration as the program's driver library cached it in the program's folder.
    const std::vector<uint8_t> image = ReadFileBytes(m_work / (std::to_string(kImagerId) + ".dat"));
    if (image.size() != qor::kCalibrationImageSize) {
        return {};
    }
    qor::Calibration calibration;
    if (!qor::LoadCalibration(calibration, image.data(), {})) {
        return {};
    }
    qor::CorrectionServices services;
    services.enhance = QorImageProc1;
    qor::CorrectFrame(frame.data(), frame.size(), calibration, 1023, 1, services);
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    if (!MakeGray8Bitmap(frame.data(), static_cast<int32_t>(frame.size()), 1201, 861, &bitmap,
                         &record)) {
        return {};
    }
    std::vector<uint8_t> bytes(bitmap, bitmap + record.nImageSize);
    std::free(bitmap);
    return bytes;
}

QorAppRig::Memory QorAppRig::MemoryUse() const {
    Memory memory;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (m_process != nullptr &&
        GetProcessMemoryInfo(m_process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        // Wine reports the committed private memory as the page-file use.
        memory.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
        memory.workingSet = counters.WorkingSetSize;
    }
    return memory;
}

}  // namespace e2e
