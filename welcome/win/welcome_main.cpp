// QorWelcomeScreen.exe: the first window of the installation medium.
#include "common/core/catch_all.h"
#include "welcome/win/qor_welcome.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    return CatchAll<int>(1, [&]() -> int {
        QOR_Welcome window;
        if (!window.Create(instance, show)) {
            MessageBoxW(nullptr,
                        L"The welcome screen could not open its window. Open the installation "
                        L"medium's folder and start DriverInstallation.cmd yourself.",
                        L"QOR Installation", MB_OK | MB_ICONERROR);
            return 1;
        }
        return window.Run();
    });
}
