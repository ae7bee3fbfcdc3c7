// The notification thread and its hidden window.
#include "driver/win/notification_thread.h"

#include "driver/win/device_events.h"

namespace {

HINSTANCE g_module = nullptr;
HANDLE g_thread = nullptr;
HANDLE g_loopEnded = nullptr;
HWND g_window = nullptr;
const wchar_t kClassName[] = L"EventWnd";

LRESULT CALLBACK EventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnEventWindowCreate(window);
        break;
    case WM_DEVICECHANGE:
        return OnDeviceChange(wParam, lParam);
    case WM_POWERBROADCAST:
        if (wParam == 0 /* PBT_APMQUERYSUSPEND */) {
            OnSuspendQuery();
        }
        break;
    case WM_CLOSE:
        CancelDeviceNotifications();
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        CancelDeviceNotifications();
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI NotificationThread(void*) {
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = EventWindowProc;
    windowClass.hInstance = g_module;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kClassName, L"Event", 0, 10, 10, 100, 100, nullptr, nullptr,
                                  g_module, nullptr);
    g_window = window;
    int exitCode = 0;
    if (window != nullptr) {
        ShowWindow(window, SW_HIDE);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        exitCode = static_cast<int>(message.wParam);
    }
    g_window = nullptr;
    UnregisterClassW(kClassName, g_module);
    // From here on the thread runs no more of the library's code, so an unload may go ahead.
    SetEvent(g_loopEnded);
    ExitThread(static_cast<DWORD>(exitCode));
}

}  // namespace

void SetNotificationModule(HINSTANCE instance) { g_module = instance; }

HWND NotificationWindow() { return g_window; }

bool StartNotificationThread() {
    if (g_loopEnded == nullptr) {
        g_loopEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    HANDLE thread = CreateThread(nullptr, 0, NotificationThread, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    if (g_thread != nullptr) {
        CloseHandle(g_thread);
    }
    g_thread = thread;
    return true;
}

void StopNotificationThread() {
    if (g_thread == nullptr) {
        return;
    }
    // The window may not exist yet if the thread has only just started; give it a moment.
    for (int i = 0; i < 100 && g_window == nullptr &&
                    WaitForSingleObject(g_loopEnded, 0) != WAIT_OBJECT_0;
         ++i) {
        Sleep(10);
    }
    if (HWND window = g_window) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(g_loopEnded, 5000);
    }
    CloseHandle(g_thread);
    g_thread = nullptr;
}
