#include "twain_source/win/manager_link.h"

#include <cstring>

#include "common/core/log_file.h"
#include "common/core/stage_trace.h"

namespace {

TW_ENTRYPOINT g_entry{};  // Size 0: none given
// A notification the manager did not take goes out with the next MSG_PROCESSEVENT.
TW_UINT16 g_nUndeliveredMessage = MSG_NULL;

bool HasEntry() { return g_entry.Size != 0 && g_entry.DSM_Entry != nullptr; }
bool HasMemory() {
    return HasEntry() && g_entry.DSM_MemAllocate != nullptr && g_entry.DSM_MemFree != nullptr &&
           g_entry.DSM_MemLock != nullptr && g_entry.DSM_MemUnlock != nullptr;
}

// The DSM_Entry of a manager already in the process (a 1.x manager gives no entry point; a 2.x
// one always does, so the 1.x one comes first). A manager is never loaded here by name: on a
// 64-bit Windows there is no 64-bit TWAIN_32.DLL, and a manager the program did not load would
// not know its session anyway.
DSMENTRYPROC LoadedManagerEntry() {
    for (const wchar_t* name : {L"TWAIN_32.DLL", L"TWAINDSM.DLL"}) {
        HMODULE manager = GetModuleHandleW(name);
        if (manager == nullptr) continue;
        if (FARPROC proc = GetProcAddress(manager, "DSM_Entry")) {
            DSMENTRYPROC entry;
            static_assert(sizeof entry == sizeof proc);
            std::memcpy(&entry, &proc, sizeof entry);
            return entry;
        }
    }
    return nullptr;
}

void Notify(TW_UINT16 message) {
    const DSMENTRYPROC entry = HasEntry() ? g_entry.DSM_Entry : LoadedManagerEntry();
    TW_UINT16 rc = TWRC_FAILURE;
    if (entry != nullptr) rc = entry(&g_session.dsIdentity, &g_session.appIdentity, DG_CONTROL, DAT_NULL, message, nullptr);
    if (rc != TWRC_SUCCESS) {
        TheLogFile().WriteFormat(LOG_INFO, "Notify: the manager did not take message 0x%x; it goes out with the next event.\n",
                                 static_cast<unsigned>(message));
        g_nUndeliveredMessage = message;
    }
}

}  // namespace

bool SetManagerEntry(const TW_ENTRYPOINT* entry) {
    if (entry == nullptr || entry->Size < sizeof(TW_ENTRYPOINT) || entry->DSM_Entry == nullptr) return false;
    g_entry = *entry;
    g_entry.Size = sizeof g_entry;
    return true;
}

void ForgetManagerEntry() { g_entry = TW_ENTRYPOINT{}; }

bool ManagerIsTwain2() { return HasEntry() || GetModuleHandleW(L"TWAINDSM.DLL") != nullptr; }

void NotifyXferReady() {
    TheLogFile().Write(LOG_INFO, "NotifyXferReady\n");
    qor::MarkStage("xferready");
    g_session.state = qor::twain::kState6;
    Notify(MSG_XFERREADY);
}

void NotifyCloseDSReq() {
    TheLogFile().Write(LOG_INFO, "NotifyCloseDSReq\n");
    Notify(MSG_CLOSEDSREQ);
}

void NotifyCloseDSOk() {
    TheLogFile().Write(LOG_INFO, "NotifyCloseDSOk\n");
    Notify(MSG_CLOSEDSOK);
}

TW_UINT16 TakeUndeliveredMessage() {
    const TW_UINT16 message = g_nUndeliveredMessage;
    g_nUndeliveredMessage = MSG_NULL;
    return message;
}

TW_HANDLE AllocateForProgram(size_t size) {
    if (size > 0xFFFFFFFFu) return nullptr;
    if (HasMemory()) return g_entry.DSM_MemAllocate(static_cast<TW_UINT32>(size));
    return GlobalAlloc(GMEM_MOVEABLE, size);
}

void* LockForProgram(TW_HANDLE handle) {
    if (handle == nullptr) return nullptr;
    if (HasMemory()) return g_entry.DSM_MemLock(handle);
    return GlobalLock(handle);
}

void UnlockForProgram(TW_HANDLE handle) {
    if (handle == nullptr) return;
    if (HasMemory()) {
        g_entry.DSM_MemUnlock(handle);
    } else {
        GlobalUnlock(handle);
    }
}

void FreeForProgram(TW_HANDLE handle) {
    if (handle == nullptr) return;
    if (HasMemory()) {
        g_entry.DSM_MemFree(handle);
    } else {
        GlobalFree(handle);
    }
}

TW_HANDLE CopyForProgram(const void* bytes, size_t size) {
    TW_HANDLE handle = AllocateForProgram(size);
    void* p = LockForProgram(handle);
    if (p == nullptr) {
        FreeForProgram(handle);
        return nullptr;
    }
    std::memcpy(p, bytes, size);
    UnlockForProgram(handle);
    return handle;
}
