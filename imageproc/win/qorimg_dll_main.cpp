// qorimg.dll's entry point: gives back the memory and the pool the library kept between calls.
#include <windows.h>

#include "common/core/catch_all.h"
#include "imageproc/core/shared_resources.h"

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    // A FreeLibrary that unloads the library (reserved is null) comes only after every worker
    // has left, since each holds the library: dropping the pool waits for nothing. At process
    // exit (reserved set) the system has already ended the workers; the memory goes with the
    // process.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        CatchAll([] { qor::imageproc::ReleaseSharedResources(); });
    }
    return TRUE;
}
