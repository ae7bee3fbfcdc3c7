// The manager that loaded the source: its entry point and memory functions (a 2.x manager gives
// them with DAT_ENTRYPOINT before it opens a session), the notifications to the program through
// it, and the memory handed to the program (native bitmap, capability containers).
#pragma once
#include "twain_source/win/source_session.h"

// DAT_ENTRYPOINT/MSG_SET; false (TWCC_BADVALUE) for a structure of the wrong size or without
// an entry point.
bool SetManagerEntry(const TW_ENTRYPOINT* entry);
// At MSG_CLOSEDS: the next session may come through another manager.
void ForgetManagerEntry();
// True when a 2.x manager speaks to the source: it gave its entry point, or it is in the process.
bool ManagerIsTwain2();

// MSG_XFERREADY (the source enters state 6), MSG_CLOSEDSREQ. A message the manager did not take
// goes out with the next MSG_PROCESSEVENT.
void NotifyXferReady();
void NotifyCloseDSReq();
void NotifyCloseDSOk();  // the settings-only dialog was closed
TW_UINT16 TakeUndeliveredMessage();  // MSG_NULL when none

// Memory the program frees: from the manager's functions when it gave them, else a movable
// global block (what a 1.x manager's programs free with GlobalFree).
TW_HANDLE AllocateForProgram(size_t size);
void* LockForProgram(TW_HANDLE handle);
void UnlockForProgram(TW_HANDLE handle);
void FreeForProgram(TW_HANDLE handle);
// A handle with `bytes` copied in; null when memory is short.
TW_HANDLE CopyForProgram(const void* bytes, size_t size);
