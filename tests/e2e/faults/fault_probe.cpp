// fault_probe: the fault tests' hands inside Windows. Every command answers with one JSON line.
//   kill-at-point EXE MS   waits (at most MS) until a program started with QOR_FAULT_POINT reaches
//                          its point and signals "QOR fault point reached", then terminates every
//                          process named EXE there and then. Prints {"ready":true} once waiting.
//   kill EXE               terminates every process named EXE (TerminateProcess: no clean-up)
//   sample EXE             handles, threads and private bytes of every process named EXE
//   find EXE               whether the program's hidden main dialog exists (exit code 0)
//   command EXE ID         posts WM_COMMAND ID to the program's hidden main dialog
//   boxes EXE [press|yes]  the texts of the program's visible message boxes; "press" answers
//                          each with its default button, "yes" with the first button of QOR APP's
//                          yes/no question
//   hold FILE MS           opens FILE without sharing (as another program may hold a file),
//                          prints {"held":true} and keeps it open MS ms
//   serve                  the commands above but kill-at-point and hold, one per line of standard input
//                          (fields separated by tabs), each answered with {"code":N,"answer":...}
//                          (under emulation a program start costs seconds; one probe serves a run)
#include <windows.h>

#include <tlhelp32.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include "tests/e2e/faults/process_figures.h"

namespace {

using nlohmann::json;

constexpr wchar_t kFaultPointEvent[] = L"QOR fault point reached";

std::wstring Wide(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

std::vector<DWORD> ProcessesNamed(const std::wstring& exe) {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (SameName(entry.szExeFile, exe)) ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

int KillAll(const std::wstring& exe) {
    int killed = 0;
    for (DWORD id : ProcessesNamed(exe)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process == nullptr) continue;
        if (TerminateProcess(process, 9)) {
            WaitForSingleObject(process, 10000);
            ++killed;
        }
        CloseHandle(process);
    }
    return killed;
}

struct WindowSearch {
    std::vector<DWORD> ids;
    bool visibleBoxes = false;
    std::vector<HWND> found;
};

std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<WindowSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    bool ours = false;
    for (DWORD id : search->ids) ours = ours || id == owner;
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (!ours || std::wstring(cls) != L"#32770") return TRUE;
    const bool hasChildren = GetWindow(window, GW_CHILD) != nullptr;
    if (search->visibleBoxes ? (IsWindowVisible(window) && hasChildren)
                             : (!hasChildren && TextOf(window).rfind(L"QOR APP", 0) == 0)) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> Windows(const std::wstring& exe, bool visibleBoxes) {
    WindowSearch search;
    search.ids = ProcessesNamed(exe);
    search.visibleBoxes = visibleBoxes;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK CollectStatic(HWND child, LPARAM data) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    auto* texts = reinterpret_cast<std::vector<std::wstring>*>(data);
    if (std::wstring(cls) == L"Static") texts->push_back(TextOf(child));
    return TRUE;
}

constexpr char kUsage[] =
    "use kill-at-point EXE MS | kill EXE | sample EXE | find EXE | command EXE ID | boxes EXE [press] "
    "| serve";

void Print(const json& j) {
    std::printf("%s\n", j.dump().c_str());
    std::fflush(stdout);
}

struct Answer {
    int code = 0;
    json answer;
};

// One command but kill-at-point and serve: `args` holds the verb and its arguments.
Answer Handle(const std::vector<std::string>& args) {
    if (args.size() < 2) return {2, {{"error", kUsage}}};
    const std::string& verb = args[0];
    const std::wstring exe = Wide(args[1].c_str());
    if (verb == "kill") {
        return {0, {{"killed", KillAll(exe)}}};
    }
    if (verb == "sample") {
        json all = json::array();
        for (DWORD id : ProcessesNamed(exe)) all.push_back(figures::Sample(id).ToJson());
        return {0, all};
    }
    if (verb == "find") {
        const auto windows = Windows(exe, false);
        return {windows.empty() ? 1 : 0, {{"windows", windows.size()}}};
    }
    if (verb == "command" && args.size() == 3) {
        const auto windows = Windows(exe, false);
        for (HWND w : windows) PostMessageW(w, WM_COMMAND, static_cast<WPARAM>(std::atoi(args[2].c_str())), 0);
        return {windows.empty() ? 1 : 0, {{"posted", windows.size()}}};
    }
    if (verb == "boxes") {
        const bool press = args.size() == 3 && (args[2] == "press" || args[2] == "yes");
        const bool yes = press && args[2] == "yes";
        json boxes = json::array();
        for (HWND box : Windows(exe, true)) {
            std::vector<std::wstring> texts;
            EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&texts));
            json one{{"title", Narrow(TextOf(box))}, {"texts", json::array()}};
            for (const auto& t : texts) one["texts"].push_back(Narrow(t));
            boxes.push_back(one);
            if (press) {
                const LRESULT def = SendMessageW(box, DM_GETDEFID, 0, 0);
                // The yes/no question's first button (its control id 23) is "Yes".
                const WORD id = yes && GetDlgItem(box, 23) != nullptr ? 23
                                : HIWORD(def) == DC_HASDEFID    ? LOWORD(def)
                                                                : IDOK;
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
            }
        }
        return {0, boxes};
    }
    return {2, {{"error", kUsage}}};
}

int KillAtPoint(const std::wstring& exe, DWORD timeoutMs) {
    // Created here first, so the program only has to open or create it and signal it.
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, kFaultPointEvent);
    if (reached == nullptr) {
        Print({{"error", "cannot create the event \"QOR fault point reached\""}});
        return 1;
    }
    Print({{"ready", true}});
    const DWORD wait = WaitForSingleObject(reached, timeoutMs);
    if (wait != WAIT_OBJECT_0) {
        CloseHandle(reached);
        Print({{"reached", false}});
        return 1;
    }
    const int killed = KillAll(exe);
    ResetEvent(reached);
    CloseHandle(reached);
    Print({{"reached", true}, {"killed", killed}});
    return killed > 0 ? 0 : 1;
}

int Serve() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::vector<std::string> args;
        std::string field;
        for (const char* c = line; *c != '\0' && *c != '\n' && *c != '\r'; ++c) {
            if (*c == '\t') {
                args.push_back(field);
                field.clear();
            } else {
                field += *c;
            }
        }
        args.push_back(field);
        const Answer a = Handle(args);
        Print({{"code", a.code}, {"answer", a.answer}});
    }
    return 0;
}

}  // namespace

int Hold(const std::string& file, DWORD ms) {
    HANDLE held = CreateFileW(Wide(file.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        Print({{"held", false}, {"error", static_cast<unsigned long>(GetLastError())}});
        return 1;
    }
    Print({{"held", true}});
    Sleep(ms);
    CloseHandle(held);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "serve") return Serve();
    if (argc == 4 && std::string(argv[1]) == "hold") return Hold(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
    if (argc == 4 && std::string(argv[1]) == "kill-at-point") {
        return KillAtPoint(Wide(argv[2]), static_cast<DWORD>(std::atoi(argv[3])));
    }
    const Answer a = Handle(std::vector<std::string>(argv + 1, argv + argc));
    if (a.code == 2) std::fprintf(stderr, "fault_probe: %s\n", kUsage);
    Print(a.answer);
    return a.code;
}
