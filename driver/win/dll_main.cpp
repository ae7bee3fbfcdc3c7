// Qor.dll entry point: library state at load, notification thread and calibration at unload.
#include <windows.h>

#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        SetNotificationModule(instance);
        InitialiseDriverState();
        break;
    case DLL_PROCESS_DETACH:
        // At process exit (reserved != null) other threads are already gone; only an explicit
        // FreeLibrary must end the notification thread before the code it runs disappears.
        if (reserved == nullptr) {
            StopNotificationThread();
            ReleaseDriverState();
        }
        break;
    default:
        break;
    }
    return TRUE;
}
