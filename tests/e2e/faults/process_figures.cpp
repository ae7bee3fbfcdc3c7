// Handles, threads and private bytes of a process, as Windows and Wine report them.
#include "tests/e2e/faults/process_figures.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <vector>

namespace figures {
namespace {

using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);  // NtQuerySystemInformation

Query QueryFunction() {
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    Query query = nullptr;
    static_assert(sizeof query == sizeof address);
    if (address != nullptr) std::memcpy(&query, &address, sizeof query);
    return query;
}

// The system's list of every open handle (information class 16), as Windows and Wine keep it.
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

bool SystemInformation(ULONG type, std::vector<unsigned char>& buffer) {
    const Query query = QueryFunction();
    if (query == nullptr) return false;
    buffer.assign(1 << 20, 0);
    ULONG needed = 0;
    while (query(type, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (256u << 20)) return false;
        buffer.assign(buffer.size() * 2, 0);
    }
    return true;
}

// Open handles of the process. GetProcessHandleCount answers 0 under Wine, and the process list
// gives the size of its handle table there (it doubles when full); the handle list is exact.
bool HandleCount(DWORD processId, DWORD& handles) {
    std::vector<unsigned char> buffer;
    if (!SystemInformation(16, buffer)) return false;
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const size_t first = alignof(HandleEntry) > sizeof(ULONG) ? alignof(HandleEntry) : sizeof(ULONG);
    if (first + size_t{count} * sizeof(HandleEntry) > buffer.size()) return false;
    handles = 0;
    for (ULONG i = 0; i < count; ++i) {
        HandleEntry entry;
        std::memcpy(&entry, buffer.data() + first + i * sizeof(HandleEntry), sizeof entry);
        if (entry.ownerPid == processId) ++handles;
    }
    return true;
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
    if (!HandleCount(processId, f.handles)) {
        GetProcessHandleCount(process, &f.handles);
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
