// The memory functions the manager hands to 2.x programs and sources (DAT_ENTRYPOINT): global
// memory, so that a program that locks a handle with GlobalLock still works. Every allocation
// and release is logged, so tests can see who allocated what the other side frees.
#pragma once
#include "external/twaindsm/twain2.h"

namespace twaindsm {

TW_HANDLE PASCAL MemAllocate(TW_UINT32 size);
void PASCAL MemFree(TW_HANDLE handle);
TW_MEMREF PASCAL MemLock(TW_HANDLE handle);
void PASCAL MemUnlock(TW_HANDLE handle);

} // namespace twaindsm
