#include "tools/twain_client/habits.h"

#include <windows.h>
// after windows.h
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

// The value of a new handle: handle tables hand out the lowest free slot, so a leak of handles
// shows as a growing value (Wine answers GetProcessHandleCount with 0).
uint64_t NextHandleValue() {
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto value = reinterpret_cast<uintptr_t>(probe);
    if (probe != nullptr) CloseHandle(probe);
    return value;
}

// Committed private memory, summed over the address space (Wine reports no PrivateUsage).
uint64_t CommittedPrivateBytes() {
    uint64_t total = 0;
    MEMORY_BASIC_INFORMATION info{};
    for (const char* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        if (info.RegionSize == 0) break;
    }
    return total;
}

BOOL CALLBACK CountOwnWindow(HWND window, LPARAM data) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) ++*reinterpret_cast<int*>(data);
    return TRUE;
}

int ProcessWindows() {
    int count = 0;
    EnumWindows(CountOwnWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

json Sample(int cycle) {
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return json{{"cycle", cycle},
                {"handles", handles},
                {"nextHandle", NextHandleValue()},
                {"threads", ThreadCount()},
                {"privateBytes", CommittedPrivateBytes()},
                {"windows", ProcessWindows()}};
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

BOOL CALLBACK MatchTitle(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<FoundWindow*>(data);
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    if (wcscmp(text, found->title) != 0) return TRUE;
    found->window = window;
    return FALSE;
}

// The source's window among this thread's windows (it belongs to the imaging program's thread).
HWND SourceWindow(const wchar_t* title) {
    FoundWindow found{title, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchTitle, reinterpret_cast<LPARAM>(&found));
    return found.window;
}

json Fail(json summary, const std::string& error) {
    summary["ok"] = false;
    summary["error"] = error;
    return summary;
}

}  // namespace

json OpenCloseCycles(const ManagerChoice& manager, const std::string& source, int cycles, int sampleEvery) {
    json summary{{"habit", "cycles"}, {"cycles", cycles}, {"samples", json::array()}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(manager, problem)) return Fail(summary, problem);
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

json ReopenManager(const ManagerChoice& manager, const std::string& source) {
    json summary{{"habit", "reopen"}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(manager, problem)) return Fail(summary, problem);
    if (!s.OpenSource(source, problem)) return Fail(summary, "first open: " + problem);
    // The program quits its TWAIN part without closing the source, then comes back.
    s.CloseManagerLeavingSourceOpen();
    if (!s.OpenManager(manager, problem)) return Fail(summary, "reopening the manager: " + problem);
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

json EnableDisable(const ManagerChoice& manager, const std::string& source, bool showUi) {
    json summary{{"habit", "enable"}, {"showUI", showUi}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(manager, problem)) return Fail(summary, problem);
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

json CancelFromWindow(const ManagerChoice& manager, const std::string& source, int timeoutMs) {
    json summary{{"habit", "cancel"}};
    CTwainSession s;
    std::string problem;
    if (!s.OpenManager(manager, problem)) return Fail(summary, problem);
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
    summary["manager"] = s.ManagerSummary();
    s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    s.CloseSource();
    s.CloseManager();
    if (!closeRequested) return Fail(summary, "Cancel in the source's window did not send MSG_CLOSEDSREQ");
    summary["ok"] = true;
    return summary;
}

}  // namespace habits
