// The workstation side of a diagnosis. Read-only: registry keys are opened for reading, the
// pipe is asked only for its count of waiting images (which changes nothing in QOR APP).
#include "tools/qorctl/diagnose/system_checks.h"

#include "driver/win/qor_api.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace qorctl::diagnose {

namespace {

constexpr wchar_t kSuiteKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";
constexpr wchar_t kExposureKey[] = L"SOFTWARE\\Halvex Imaging Corp.\\QOR CD\\5.5.0";
constexpr char kReinstall[] =
    "install the QOR driver suite again (msiexec /i QOR.msi /qn or the medium)";

template <typename Fn> Fn Entry(HMODULE module, const char* name) {
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                  : nullptr;
}

struct RegistryValue {
    bool present = false;
    DWORD type = 0;
    std::wstring text;
    DWORD number = 0;
};

RegistryValue ReadValue(const wchar_t* keyPath, const wchar_t* name) {
    RegistryValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return value;
    }
    BYTE data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &value.type, data, &size) == ERROR_SUCCESS) {
        value.present = true;
        if (value.type == REG_DWORD && size == sizeof(DWORD)) {
            std::memcpy(&value.number, data, sizeof(DWORD));
        } else if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            value.text.assign(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
            value.text = value.text.c_str(); // without a stored terminator
        }
    }
    RegCloseKey(key);
    return value;
}

void CheckVersions(Findings& f) {
    RTL_OSVERSIONINFOW os{};
    os.dwOSVersionInfoSize = sizeof os;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    if (auto rtlGetVersion = Entry<RtlGetVersionFn>(ntdll, "RtlGetVersion")) {
        rtlGetVersion(&os);
    }
    f.Add("system", "Windows",
          std::to_string(os.dwMajorVersion) + "." + std::to_string(os.dwMinorVersion) + " build " +
              std::to_string(os.dwBuildNumber) + " " + Utf8(os.szCSDVersion),
          os.dwMajorVersion >= 6 ? Verdict::Ok : Verdict::Fault,
          os.dwMajorVersion >= 6 ? "" : "the suite needs Windows Vista or later");
    using WineVersionFn = const char*(__cdecl*)();
    if (auto wineVersion = Entry<WineVersionFn>(ntdll, "wine_get_version")) {
        f.Add("system", "Wine", wineVersion());
    } else {
        f.Add("system", "Wine", "not Wine");
    }

    DriverVersion version{};
    QorGetDriverVersion(&version);
    f.Add("driver", "Qor.dll",
          std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
              std::to_string(version.build) + " (" +
              Utf8(ModulePath(GetModuleHandleW(L"Qor.dll")).wstring()) + ")");
    const HMODULE imageLibrary = GetModuleHandleW(L"qorimg.dll");
    if (Entry<FARPROC>(imageLibrary, "QorImageProc1")) {
        f.Add("driver", "qorimg.dll",
              "QorImageProc1 present (" + Utf8(ModulePath(imageLibrary).wstring()) + ")");
    } else {
        f.Add("driver", "qorimg.dll", "missing or without QorImageProc1", Verdict::Fault,
              kReinstall);
    }
}

std::optional<std::filesystem::path> CheckRegistry(Findings& f) {
    std::optional<std::filesystem::path> folder;
    const RegistryValue path = ReadValue(kSuiteKey, L"InstalPath");
    if (!path.present || path.text.empty()) {
        f.Add("registry", "InstalPath", "missing", Verdict::Fault, kReinstall);
    } else if (!std::filesystem::is_directory(std::filesystem::path(path.text))) {
        f.Add("registry", "InstalPath", Utf8(path.text) + " (no such folder)", Verdict::Fault,
              kReinstall);
    } else {
        folder = std::filesystem::path(path.text);
        const bool complete = std::filesystem::exists(*folder / "Qor.dll") &&
                              std::filesystem::exists(*folder / "QOR APP.exe");
        f.Add("registry", "InstalPath", Utf8(path.text), complete ? Verdict::Ok : Verdict::Fault,
              complete ? ""
                       : std::string("Qor.dll or QOR APP.exe is missing there: ") + kReinstall);
        if (complete &&
            !SameFileContents(*folder / "Qor.dll", ModulePath(GetModuleHandleW(L"Qor.dll")))) {
            f.Add("driver", "installed Qor.dll", "differs from the one qorctl runs with",
                  Verdict::Warning,
                  "run the qorctl of the installed suite, or install this version");
        }
    }
    const RegistryValue language = ReadValue(kSuiteKey, L"LanguageID");
    if (!language.present) {
        f.Add("registry", "LanguageID", "missing (English until the TWAIN source sets it)");
    } else if (language.type != REG_DWORD) {
        f.Add("registry", "LanguageID", "not a DWORD", Verdict::Warning,
              "delete the value; the TWAIN source writes it again");
    } else {
        f.Add("registry", "LanguageID", std::to_string(language.number));
    }
    const RegistryValue level = ReadValue(kSuiteKey, L"LogLevel");
    if (!level.present) {
        f.Add("registry", "LogLevel", "missing", Verdict::Warning,
              "set it (REG_DWORD 0..2, usually 1)");
    } else if (level.type != REG_DWORD || level.number > 2) {
        f.Add("registry", "LogLevel",
              level.type == REG_DWORD ? std::to_string(level.number) : "not a DWORD",
              Verdict::Warning, "set it to a REG_DWORD 0..2 (0 logs everything)");
    } else {
        f.Add("registry", "LogLevel", std::to_string(level.number));
    }
    const RegistryValue exposure = ReadValue(kExposureKey, L"Exposure Level");
    if (!exposure.present) {
        f.Add("registry", "Exposure Level",
              "missing (Qor.dll creates it with 1023 at the first image)");
    } else if (exposure.type != REG_DWORD) {
        f.Add("registry", "Exposure Level", "not a DWORD", Verdict::Warning,
              "delete the key; Qor.dll creates it with 1023 at the next image");
    } else {
        f.Add("registry", "Exposure Level", std::to_string(exposure.number));
    }
    return folder;
}

// QOR APP's single-instance mutex tells whether it runs.
bool CheckApplication(Findings& f) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"QOR APP");
    const bool running = mutex != nullptr;
    if (mutex) {
        CloseHandle(mutex);
    }
    f.Add("app", "QOR APP", running ? "running" : "not running (the TWAIN source starts it)");
    return running;
}

// The program at the server end of a pipe (its full path); empty when Windows does not say.
std::wstring ServingProgram(HANDLE pipe, DWORD* processId) {
    *processId = 0;
    if (!GetNamedPipeServerProcessId(pipe, processId) || *processId == 0) {
        return {};
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *processId);
    if (process == nullptr) {
        return {};
    }
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
    CloseHandle(process);
    return named ? std::wstring(path, size) : std::wstring();
}

// Who serves the pipe: QOR APP (of the installation, or from another folder), or a foreign
// program that took its name.
struct PipeServer {
    std::string description; // "QOR APP (process 12)", "C:\x\hub.exe (process 12)"
    bool foreign = false;
    bool elsewhere = false;  // QOR APP, but not the one in the installation folder
};

PipeServer IdentifyServer(HANDLE pipe, const std::optional<std::filesystem::path>& folder) {
    DWORD processId = 0;
    const std::wstring program = ServingProgram(pipe, &processId);
    PipeServer server;
    if (program.empty()) {
        server.description = processId ? "process " + std::to_string(processId) : "";
        return server;
    }
    const std::filesystem::path path(program);
    server.foreign = _wcsicmp(path.filename().c_str(), L"QOR APP.exe") != 0;
    std::error_code ec;
    server.elsewhere = !server.foreign && folder &&
                       !std::filesystem::equivalent(path, *folder / "QOR APP.exe", ec);
    server.description = (server.foreign || server.elsewhere ? Utf8(program) : "QOR APP") +
                         " (process " + std::to_string(processId) + ")";
    return server;
}

constexpr char kRestartApp[] =
    "exit QOR APP (tray icon, Exit QOR) and start the imaging program again";
constexpr char kForeignAdvice[] =
    "another program holds the name QOR APP needs: end it (Task Manager) or uninstall it, then "
    "start the imaging program again";

// Asks the pipe for its count of waiting images: 1 byte out, 8 bytes back; and names who
// answers.
void CheckPipe(Findings& f, bool appRunning, const std::optional<std::filesystem::path>& folder) {
    const wchar_t* name = L"\\\\.\\PIPE\\QOR COMM";
    HANDLE pipe =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
        WaitNamedPipeW(name, 3000)) {
        pipe =
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        if (appRunning) {
            f.Add("app", "pipe \"QOR COMM\"", "QOR APP runs but its pipe does not open",
                  Verdict::Fault, kRestartApp);
        } else {
            f.Add("app", "pipe \"QOR COMM\"", "not open (QOR APP not running)");
        }
        return;
    }
    const PipeServer server = IdentifyServer(pipe, folder);
    bool answered = false;
    int32_t reply[2] = {};
    if (!server.foreign) {
        // A foreign server is not sent QOR APP's commands: who knows what a byte does there.
        const BYTE command = 0x01;
        DWORD written = 0;
        DWORD got = 0;
        if (WriteFile(pipe, &command, 1, &written, nullptr) && written == 1) {
            // Wait for the answer without blocking for ever on a server that hangs.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            DWORD available = 0;
            while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
                   available < sizeof reply && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            answered = available >= sizeof reply &&
                       ReadFile(pipe, reply, sizeof reply, &got, nullptr) && got == sizeof reply;
        }
    }
    CloseHandle(pipe);
    const std::string by =
        server.description.empty() ? "" : "; served by " + server.description;
    if (server.foreign) {
        f.Add("app", "pipe \"QOR COMM\"", "served by " + server.description + ", not QOR APP",
              Verdict::Fault, kForeignAdvice);
    } else if (!answered) {
        f.Add("app", "pipe \"QOR COMM\"", "opens but does not answer" + by, Verdict::Fault,
              kRestartApp);
    } else if (server.elsewhere) {
        f.Add("app", "pipe \"QOR COMM\"",
              "answers: " + std::to_string(reply[0]) + " image(s) waiting, served by " +
                  server.description + ", not the installed QOR APP",
              Verdict::Warning,
              "exit that QOR APP (tray icon, Exit QOR); the imaging program starts the installed "
              "one");
    } else {
        f.Add("app", "pipe \"QOR COMM\"",
              "answers: " + std::to_string(reply[0]) + " image(s) waiting" + by);
    }
}

// Where the TWAIN manager of this program's pointer width looks for the source.
void CheckTwainSource(Findings& f, const std::optional<std::filesystem::path>& folder) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::filesystem::path twain =
        std::filesystem::path(windows) / (sizeof(void*) == 8 ? "twain_64" : "twain_32");
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    // Wine's manager loads only sane.ds from the folder itself.
    const std::filesystem::path place = wine ? twain / "sane.ds" : twain / "Halvex" / "QORSRC.ds";
    if (!std::filesystem::exists(place)) {
        f.Add("twain", "TWAIN source", Utf8(place.wstring()) + " is missing", Verdict::Fault,
              kReinstall);
        return;
    }
    if (folder && std::filesystem::exists(*folder / "QORSRC.ds") &&
        !SameFileContents(place, *folder / "QORSRC.ds")) {
        f.Add("twain", "TWAIN source",
              Utf8(place.wstring()) + " differs from the installed QORSRC.ds", Verdict::Warning,
              "another or older source is in the manager's place: " + std::string(kReinstall));
        return;
    }
    f.Add("twain", "TWAIN source", Utf8(place.wstring()));
}

} // namespace

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::filesystem::path ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = module ? GetModuleFileNameW(module, path, MAX_PATH) : 0;
    return std::filesystem::path(std::wstring(path, n < MAX_PATH ? n : 0));
}

bool SameFileContents(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) {
        return false;
    }
    return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

SystemFacts CheckSystem(Findings& findings) {
    SystemFacts facts;
    CheckVersions(findings);
    facts.installFolder = CheckRegistry(findings);
    facts.appRunning = CheckApplication(findings);
    CheckPipe(findings, facts.appRunning, facts.installFolder);
    CheckTwainSource(findings, facts.installFolder);
    return facts;
}

} // namespace qorctl::diagnose
