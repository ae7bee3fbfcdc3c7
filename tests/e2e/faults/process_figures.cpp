// Handles, threads and private bytes of a process, as Windows and Wine report them.
#include "tests/e2e/faults/process_figures.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>
#include <vector>

namespace figures {
namespace {

// The handle count from the system's process list: Wine answers GetProcessHandleCount with 0,
// but fills this list from its server's own count.
bool HandleCountFromProcessList(DWORD processId, DWORD& handles) {
    using Query = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (address == nullptr) return false;
    Query query = nullptr;
    static_assert(sizeof query == sizeof address);
    std::memcpy(&query, &address, sizeof query);
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (64u << 20)) return false;
        buffer.resize(buffer.size() * 2);
    }
    for (size_t at = 0;;) {
        SYSTEM_PROCESS_INFORMATION entry;
        std::memcpy(&entry, buffer.data() + at, sizeof entry);
        if (reinterpret_cast<ULONG_PTR>(entry.UniqueProcessId) == processId) {
            handles = entry.HandleCount;
            return true;
        }
        if (entry.NextEntryOffset == 0) return false;
        at += entry.NextEntryOffset;
    }
}

}  // namespace

nlohmann::json ProcessFigures::ToJson() const {
    return {{"pid", processId}, {"found", found}, {"handles", handles}, {"threads", threads},
            {"privateBytes", privateBytes}};
}

ProcessFigures Sample(DWORD processId) {
    ProcessFigures f;
    f.processId = processId;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return f;
    }
    f.found = true;
    GetProcessHandleCount(process, &f.handles);
    if (f.handles == 0) {
        HandleCountFromProcessList(processId, f.handles);
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        // Wine reports the committed private memory as the page-file use.
        f.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    }
    CloseHandle(process);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ProcessID == processId) {
                f.threads = entry.cntThreads;
            }
        }
        CloseHandle(snapshot);
    }
    return f;
}

}  // namespace figures
