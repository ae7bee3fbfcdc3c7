// QOR APP as the source meets it: its installation folder ("InstalPath"), starting it there with
// that folder as its own current folder (the imaging program's stays untouched), and telling
// the genuine program from any other that serves its pipe.
#include <cwchar>

#include "common/core/log_file.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/source_reports.h"

namespace {

constexpr wchar_t kProgramName[] = L"QOR APP.exe";
HANDLE g_hStartedApp = nullptr;  // the QOR APP this source started, until its pipe came

// A path in one spelling: full, long names, so that two spellings of one file compare equal.
std::wstring CanonicalPath(const wchar_t* path) {
    wchar_t full[MAX_PATH * 2] = {};
    DWORD n = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
    if (n == 0 || n >= MAX_PATH * 2) return path;
    wchar_t longer[MAX_PATH * 2] = {};
    n = GetLongPathNameW(full, longer, MAX_PATH * 2);
    return (n == 0 || n >= MAX_PATH * 2) ? std::wstring(full) : std::wstring(longer);
}

std::string Narrow(const std::wstring& text) {
    char out[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out, sizeof out, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring QorAppPath() {
    wchar_t folder[MAX_PATH] = {};
    if (!ReadInstalPath(folder, MAX_PATH)) return {};
    return std::wstring(folder) + L"\\" + kProgramName;
}

StartResult StartApplication() {
    HKEY key = nullptr;
    if (!OpenSuiteKey(&key)) {
        TheLogFile().Write(LOG_WARN, "OnInitDialog: RegOpenKeyEx() failed!\n");
        ShowInternalError();
        return StartResult::NoInstallation;
    }
    RegCloseKey(key);
    wchar_t folder[MAX_PATH] = {};
    if (!ReadInstalPath(folder, MAX_PATH)) {
        TheLogFile().Write(LOG_WARN, "OnInitDialog: the registry value InstalPath is missing; reinstall the QOR driver suite.\n");
        return StartResult::NoInstallation;
    }
    const std::wstring program = std::wstring(folder) + L"\\" + kProgramName;
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION process{};
    // QOR APP works in its own folder; the imaging program's current folder is not ours to change.
    const BOOL started =
        CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process);
    TheLogFile().Write(LOG_WARN, "OnInitDialog: Invoke QOR APP from QOR SRC\n");
    if (!started) return StartResult::Failed;
    CloseHandle(process.hThread);
    ForgetStartedApp();
    g_hStartedApp = process.hProcess;
    return StartResult::Started;
}

bool QorAppRuns() {
    // QOR APP holds this mutex from its first moment until it ends.
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"QOR APP");
    if (mutex == nullptr) return false;
    CloseHandle(mutex);
    return true;
}

bool StartedAppHasEnded() {
    return g_hStartedApp != nullptr && WaitForSingleObject(g_hStartedApp, 0) == WAIT_OBJECT_0;
}

void ForgetStartedApp() {
    if (g_hStartedApp != nullptr) CloseHandle(g_hStartedApp);
    g_hStartedApp = nullptr;
}

bool ServedByQorApp(HANDLE pipe) {
    const std::wstring expected = QorAppPath();
    ULONG pid = 0;
    wchar_t image[MAX_PATH * 2] = {};
    if (pipe != nullptr && GetNamedPipeServerProcessId(pipe, &pid)) {
        if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
            DWORD size = MAX_PATH * 2;
            if (!QueryFullProcessImageNameW(process, 0, image, &size)) image[0] = 0;
            CloseHandle(process);
        }
    }
    if (!expected.empty() && image[0] != 0 &&
        CompareStringOrdinal(CanonicalPath(image).c_str(), -1, CanonicalPath(expected.c_str()).c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
        return true;
    }
    TheLogFile().WriteFormat(LOG_FATAL,
                             "CheckServer: the pipe is served by \"%s\" (process %lu), not by \"%s\"; no image is taken "
                             "from it. End that program and start QOR APP again.\n",
                             image[0] ? Narrow(image).c_str() : "an unknown program", static_cast<unsigned long>(pid),
                             expected.empty() ? "QOR APP (InstalPath is missing)" : Narrow(expected).c_str());
    return false;
}
