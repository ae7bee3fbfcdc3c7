// Handles, threads and private bytes of a process, as Windows and Wine report them.
#include "tests/e2e/faults/process_figures.h"

#include <psapi.h>
#include <tlhelp32.h>

namespace figures {

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
