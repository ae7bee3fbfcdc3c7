// Worker threads of the Windows build. Each thread holds a reference to the module its code is
// in and leaves through FreeLibraryAndExitThread: after a FreeLibrary by the host the library
// stays mapped until the last worker has finished its idle wait, and no worker ever returns
// into unmapped code. Nobody waits for these threads, so nothing waits inside DllMain either.
#include <windows.h>

#include <new>

#include "common/core/catch_all.h"
#include "imageproc/core/worker_thread.h"

namespace qor::imageproc {
namespace {

struct Start {
    WorkerBody body;
    void* argument;
    HMODULE module;
};

DWORD WINAPI ThreadEntry(LPVOID parameter) {
    const Start start = *static_cast<Start*>(parameter);
    delete static_cast<Start*>(parameter);
    CatchAll([&] { start.body(start.argument); });
    FreeLibraryAndExitThread(start.module, 0);
}

} // namespace

bool StartWorkerThread(WorkerBody body, void* argument) {
    HMODULE module = nullptr;
    // Any address inside this module names it; the flag without UNCHANGED_REFCOUNT counts one
    // more reference, which the thread gives back as it leaves.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&ThreadEntry), &module)) {
        return false;
    }
    auto* start = new (std::nothrow) Start{body, argument, module};
    if (start == nullptr) {
        FreeLibrary(module);
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, &ThreadEntry, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}

} // namespace qor::imageproc
