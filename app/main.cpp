// QOR APP's process entry: one instance at a time, the hidden main dialog, then the end.
#include "common/core/catch_all.h"
#include <windows.h>
#include <commctrl.h>

#include "app/qor_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return CatchAll<int>(1, [&]() -> int {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
        InitCommonControlsEx(&controls);

        HANDLE instance = CreateMutexW(nullptr, TRUE, L"QOR APP");
        if (instance == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
            // Another QOR APP owns the sensor: end silently.
            if (instance != nullptr) {
                CloseHandle(instance);
            }
            return 0;
        }
        {
            CQorApp app;
            app.DoModal();
            CloseHandle(instance);
            if (app.AcquisitionThreadStillRunning()) {
                // Every image is on disk by now; unloading the driver under the thread that is
                // still inside it would crash instead of ending.
                TerminateProcess(GetCurrentProcess(), 0);
            }
        }
        return 0;
    });
}
