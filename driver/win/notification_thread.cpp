// The notification thread and its hidden window.
#include "driver/win/notification_thread.h"

#include "driver/win/device_events.h"
#include "driver/win/driver_state.h"
#include "driver/win/export_guard.h"

#include <mutex>

namespace {

HINSTANCE g_module = nullptr;
std::mutex g_startMutex;
const wchar_t kClassName[] = L"EventWnd";

LRESULT CALLBACK EventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return Guarded<LRESULT>(0, [&]() -> LRESULT {
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
    });
}

void RunWindow() {
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = EventWindowProc;
    windowClass.hInstance = g_module;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kClassName, L"Event", 0, 10, 10, 100, 100, nullptr, nullptr,
                                  g_module, nullptr);
    if (window != nullptr) {
        ShowWindow(window, SW_HIDE);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    UnregisterClassW(kClassName, g_module);
}

// `parameter` is the library reference taken for this thread by its starter.
DWORD WINAPI NotificationThread(void* parameter) {
    Guarded(RunWindow);
    // A window that could not be made never enumerates: release the first QorInitSystem now.
    SetEvent(Driver().firstEnumerationFinished);
    FreeLibraryAndExitThread(static_cast<HMODULE>(parameter), 0);
}

bool StartThread() {
    // The reference is taken before the thread exists, so there is no moment in which the
    // thread runs library code that an unload could remove.
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&g_module), &self)) {
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, NotificationThread, self, 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(self);
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

void SetNotificationModule(HINSTANCE instance) { g_module = instance; }

HINSTANCE NotificationModule() { return g_module; }


NotificationStart StartNotificationThreadOnce(HANDLE changeEvent, ChangeEvent rule) {
    std::lock_guard<std::mutex> lock(g_startMutex);
    DriverState& state = Driver();
    if (rule == ChangeEvent::SetAlways) {
        state.deviceChangeEvent = changeEvent;
    }
    if (state.notificationThreadStarted) {
        return NotificationStart::AlreadyRunning;
    }
    state.deviceChangeEvent = changeEvent;
    if (!StartThread()) {
        return NotificationStart::Failed;
    }
    state.notificationThreadStarted = true;
    return NotificationStart::Started;
}
