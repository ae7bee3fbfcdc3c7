#include "external/twaindsm/manager_memory.h"

#include "external/twaindsm/triplet_log.h"

namespace twaindsm {

TW_HANDLE PASCAL MemAllocate(TW_UINT32 size) {
    if (size == 0)
        return nullptr;
    HGLOBAL handle = GlobalAlloc(GPTR, size);
    LogLine("mem alloc handle=0x%llx size=%lu",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)),
            static_cast<unsigned long>(size));
    return handle;
}

void PASCAL MemFree(TW_HANDLE handle) {
    if (handle == nullptr)
        return;
    LogLine("mem free handle=0x%llx",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    GlobalFree(handle);
}

TW_MEMREF PASCAL MemLock(TW_HANDLE handle) {
    return handle == nullptr ? nullptr : GlobalLock(handle);
}

void PASCAL MemUnlock(TW_HANDLE handle) {
    if (handle != nullptr)
        GlobalUnlock(handle);
}

} // namespace twaindsm
