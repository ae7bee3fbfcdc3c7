// The TWAIN 2.x names that Wine's twain.h (a 1.x header with a few 2.x additions) lacks: the
// manager stand-in and the imaging programs that talk to it share these.
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"

#include <cstdint>

#ifndef DF_DSM2
#define DF_DSM2 0x10000000L
#endif
#ifndef DF_APP2
#define DF_APP2 0x20000000L
#endif
#ifndef DAT_CALLBACK
#define DAT_CALLBACK 0x0010
#endif
#ifndef DAT_CALLBACK2
#define DAT_CALLBACK2 0x0012
#endif
#ifndef MSG_REGISTER_CALLBACK
#define MSG_REGISTER_CALLBACK 0x0902
#endif

#ifndef QOR_TWAIN2_CALLBACK_TYPES
#define QOR_TWAIN2_CALLBACK_TYPES
// Packed on 2 bytes like every TWAIN structure.
#pragma pack(push, 2)
// DAT_CALLBACK: the reference value is 32 bits wide in both widths.
typedef struct {
    TW_MEMREF CallBackProc;
    TW_UINT32 RefCon;
    TW_INT16 Message;
} TW_CALLBACK, *pTW_CALLBACK;
// DAT_CALLBACK2: the reference value is pointer wide.
typedef struct {
    TW_MEMREF CallBackProc;
    uintptr_t RefCon;
    TW_INT16 Message;
} TW_CALLBACK2, *pTW_CALLBACK2;
#pragma pack(pop)
static_assert(sizeof(TW_CALLBACK) == sizeof(void*) + 6);
static_assert(sizeof(TW_CALLBACK2) == 2 * sizeof(void*) + 2);
static_assert(sizeof(TW_ENTRYPOINT) == 4 + 5 * sizeof(void*));
#endif
