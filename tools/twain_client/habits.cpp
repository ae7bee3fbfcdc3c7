#include "tools/twain_client/habits.h"

#include <windows.h>
// after windows.h
#include <psapi.h>
#include <tlhelp32.h>

#include "tools/twain_client/twain_session.h"

namespace habits {

namespace {

using nlohmann::json;

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

json Sample(int cycle) {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    return json{{"cycle", cycle},
                {"handles", handles},
                {"threads", ThreadCount()},
                {"privateBytes", static_cast<uint64_t>(memory.PrivateUsage)},
                {"gdiObjects", GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)},
                {"userObjects", GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS)}};
}

// Drains the thread's queue through the source, as an imaging program's message loop does.
void Pump(CTwainSession& s) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TW_EVENT event{&msg, MSG_NULL};
        if (s.Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

struct FoundWindow {
    const wchar_t* title;
    HWND window;
};

// The source's window among this thread's windows (it belongs to the imaging program's thread).
HWND SourceWindow(const wchar_t* title) {
    FoundWindow found{title, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            auto* f = reinterpret_cast<FoundWindow*>(data);
            wchar_t text[64] = {};
            GetWindowTextW(window, text, 64);
            if (wcscmp(text, f->title) == 0) {
                f->window = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found.window;
}

json Fail(json summary, const std::string& error) {
    summary["ok"] = false;
    summary["error"] = error;
    return summary;
}

}  // namespace

json OpenCloseCycles(const std::string& source, int cycles, int sampleEvery) {
    json summary{{"habit", "cycles"}, {"cycles", cycles}, {"samples", json::array()}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(L"TWAIN_32.DLL", problem)) return Fail(summary, problem);
    for (int i = 1; i <= cycles; ++i) {
        if (!s.OpenSource(source, problem)) return Fail(summary, "cycle " + std::to_string(i) + ": " + problem);
        TW_IDENTITY id{};
        if (s.Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id) != TWRC_SUCCESS) {
            return Fail(summary, "cycle " + std::to_string(i) + ": the open source refused DAT_IDENTITY MSG_GET");
        }
        s.CloseSource();
        Pump(s);
        if (i == 1 || i % sampleEvery == 0 || i == cycles) summary["samples"].push_back(Sample(i));
    }
    s.CloseManager();
    summary["ok"] = true;
    return summary;
}

json ReopenManager(const std::string& source) {
    json summary{{"habit", "reopen"}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(L"TWAIN_32.DLL", problem)) return Fail(summary, problem);
    if (!s.OpenSource(source, problem)) return Fail(summary, "first open: " + problem);
    // The program quits its TWAIN part without closing the source, then comes back.
    s.CloseManagerLeavingSourceOpen();
    if (!s.OpenManager(L"TWAIN_32.DLL", problem)) return Fail(summary, "reopening the manager: " + problem);
    if (!s.OpenSource(source, problem)) {
        return Fail(summary, "the source does not open after the manager was closed with it open: " + problem);
    }
    TW_USERINTERFACE ui{};
    ui.ShowUI = FALSE;
    ui.hParent = s.Window();
    const TW_UINT16 enabled = s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    summary["enableAfterReopen"] = enabled;
    if (enabled != TWRC_SUCCESS) return Fail(summary, "MSG_ENABLEDS failed after reopening (condition " + std::to_string(s.Condition()) + ")");
    s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    s.CloseSource();
    s.CloseManager();
    summary["ok"] = true;
    return summary;
}

json EnableDisable(const std::string& source, bool showUi) {
    json summary{{"habit", "enable"}, {"showUI", showUi}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(L"TWAIN_32.DLL", problem)) return Fail(summary, problem);
    if (!s.OpenSource(source, problem)) return Fail(summary, problem);
    TW_USERINTERFACE ui{};
    ui.ShowUI = showUi ? TRUE : FALSE;
    ui.hParent = s.Window();
    const TW_UINT16 rc = s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    summary["enableRc"] = rc;
    if (rc != TWRC_SUCCESS) return Fail(summary, "MSG_ENABLEDS failed (condition " + std::to_string(s.Condition()) + ")");
    Pump(s);
    HWND window = SourceWindow(L"QOR SRC");
    summary["windowShown"] = window != nullptr && IsWindowVisible(window);
    s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Pump(s);
    summary["windowAfterDisable"] = window != nullptr && IsWindow(window);
    s.CloseSource();
    s.CloseManager();
    const bool shownAsAsked = summary["windowShown"].get<bool>() == showUi;
    if (!shownAsAsked) return Fail(summary, showUi ? "ShowUI TRUE showed no window" : "ShowUI FALSE showed a window");
    if (summary["windowAfterDisable"].get<bool>()) return Fail(summary, "the source's window outlived MSG_DISABLEDS");
    summary["ok"] = true;
    return summary;
}

json CancelFromWindow(const std::string& source, int timeoutMs) {
    json summary{{"habit", "cancel"}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(L"TWAIN_32.DLL", problem)) return Fail(summary, problem);
    if (!s.OpenSource(source, problem)) return Fail(summary, problem);
    TW_USERINTERFACE ui{};
    ui.ShowUI = TRUE;
    ui.hParent = s.Window();
    if (s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        return Fail(summary, "MSG_ENABLEDS failed (condition " + std::to_string(s.Condition()) + ")");
    }
    HWND window = SourceWindow(L"QOR SRC");
    HWND cancel = window != nullptr ? GetDlgItem(window, IDCANCEL) : nullptr;
    if (cancel == nullptr) return Fail(summary, "the source's window \"QOR SRC\" with its Cancel button is not there");
    wchar_t text[64] = {};
    GetWindowTextW(cancel, text, 64);
    summary["buttonText"] = std::string(text, text + wcslen(text));
    // A click as the user makes it: it reaches the button through this thread's message loop.
    PostMessageW(cancel, BM_CLICK, 0, 0);
    const bool closeRequested = s.WaitFor(MSG_CLOSEDSREQ, static_cast<DWORD>(timeoutMs)) ||
                                s.LastSourceMessage() == MSG_CLOSEDSREQ;
    summary["closeRequested"] = closeRequested;
    s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    s.CloseSource();
    s.CloseManager();
    if (!closeRequested) return Fail(summary, "Cancel in the source's window did not send MSG_CLOSEDSREQ");
    summary["ok"] = true;
    return summary;
}

}  // namespace habits
