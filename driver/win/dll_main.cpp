// Qor.dll entry point: library state at load, and what must not outlive the library at unload.
// Nothing here waits for another thread or loads a library: both are forbidden under the loader
// lock. The notification thread keeps the library mapped by its own reference (see
// notification_thread.h), so an unload happens only while that thread has never run.
#include <windows.h>

#include "driver/win/device_backend.h"
#include "driver/win/device_events.h"
#include "driver/win/driver_state.h"
#include "driver/win/export_guard.h"
#include "driver/win/notification_thread.h"
#include "driver/win/timer_acquisition.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        SetNotificationModule(instance);
        return Guarded<BOOL>(FALSE, [] {
            InitialiseDriverState();
            InstallDeviceHooks();
            return TRUE;
        });
    case DLL_PROCESS_DETACH:
        // At process exit (reserved != null) the process's memory goes anyway.
        if (reserved == nullptr) {
            Guarded([] {
                EndTimerAcquisition();
                ReleaseDeviceBackend();
                ReleaseDriverState();
            });
        }
        break;
    default:
        break;
    }
    return TRUE;
}
