// qorctl app stop: ends a running QOR APP the way its tray menu's "Exit QOR" does (the images in
// memory are saved, the sensor is released), so that an uninstallation or an upgrade can replace
// its files. The installers run it before they remove anything.
#include "tools/qorctl/commands.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

namespace qorctl {
namespace {

constexpr WPARAM kExitQorCommand = 117; // the tray menu's "Exit QOR"

struct Found {
    HWND window = nullptr;
    DWORD processId = 0;
};

bool IsQorAppProcess(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
    CloseHandle(process);
    const wchar_t* name = std::wcsrchr(path, L'\\');
    return named && _wcsicmp(name != nullptr ? name + 1 : path, L"QOR APP.exe") == 0;
}

// QOR APP's main window is a hidden dialog captioned "QOR APP"; its message boxes have the same
// caption but are shown.
BOOL CALLBACK FindMainWindow(HWND window, LPARAM context) {
    auto& found = *reinterpret_cast<Found*>(context);
    wchar_t title[16] = {};
    if (IsWindowVisible(window) || GetWindowTextW(window, title, 16) == 0 ||
        std::wcscmp(title, L"QOR APP") != 0) {
        return TRUE;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!IsQorAppProcess(processId)) {
        return TRUE;
    }
    found.window = window;
    found.processId = processId;
    return FALSE;
}

int StopQorApp(int timeoutSeconds) {
    Found found;
    EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&found));
    if (found.window == nullptr) {
        std::printf("QOR APP is not running.\n");
        return 0;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, found.processId);
    if (process == nullptr || !PostMessageW(found.window, WM_COMMAND, kExitQorCommand, 0)) {
        if (process != nullptr) {
            CloseHandle(process);
        }
        std::fprintf(stderr,
                     "qorctl: QOR APP (process %lu) cannot be asked to end (error %lu): end it "
                     "with \"Exit QOR\" in its tray menu, then try again.\n",
                     static_cast<unsigned long>(found.processId),
                     static_cast<unsigned long>(GetLastError()));
        return 4;
    }
    std::printf("Asked QOR APP (process %lu) to end as \"Exit QOR\" does; waiting up to %d s",
                static_cast<unsigned long>(found.processId), timeoutSeconds);
    std::fflush(stdout);
    DWORD wait = WAIT_TIMEOUT;
    for (int second = 0; second < timeoutSeconds && wait == WAIT_TIMEOUT; ++second) {
        wait = WaitForSingleObject(process, 1000);
        if (wait == WAIT_TIMEOUT) {
            std::printf(".");
            std::fflush(stdout);
        }
    }
    CloseHandle(process);
    if (wait != WAIT_OBJECT_0) {
        std::printf("\n");
        std::fprintf(stderr,
                     "qorctl: QOR APP has not ended within %d s (a message box of it may be "
                     "waiting for an answer): answer it or choose \"Exit QOR\" in its tray menu, "
                     "then try again.\n",
                     timeoutSeconds);
        return 4;
    }
    std::printf(" QOR APP has ended; its images are saved.\n");
    return 0;
}

} // namespace

void AddAppCommands(CLI::App& app) {
    auto* group = app.add_subcommand("app", "QOR APP, the program that keeps the sensor's images")
                      ->require_subcommand(1);
    auto* stop = group->add_subcommand(
        "stop", "end a running QOR APP as its \"Exit QOR\" does (images saved); exit code 4 when "
                "it does not end");
    auto timeout = std::make_shared<int>(30);
    stop->add_option("--timeout", *timeout, "seconds to wait for it to end")->check(CLI::Range(1, 600));
    stop->callback([timeout] {
        const int code = StopQorApp(*timeout);
        if (code != 0) {
            throw CLI::RuntimeError(code);
        }
    });
}

} // namespace qorctl
