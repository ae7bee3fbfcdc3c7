// Handlers of the notification window.
#include "driver/win/device_events.h"

#include "driver/win/driver_state.h"

namespace {

UINT g_arrivalMessage = 0;
UINT g_removalMessage = 0;

void SignalDeviceChange() {
    if (HANDLE event = Driver().deviceChangeEvent) {
        SetEvent(event);
    }
}

}  // namespace

void OnEventWindowCreate(HWND) {
    g_arrivalMessage = RegisterWindowMessageW(L"Halvex Arrival");
    g_removalMessage = RegisterWindowMessageW(L"Halvex Removal");
    const int count = 0;  // no sensor access yet
    if (count > 0) {
        SetEvent(Driver().enumerationEvent);
        SetEvent(Driver().privateEnumerationEvent);
    }
    SignalDeviceChange();
}

LRESULT OnDeviceChange(WPARAM, LPARAM) { return TRUE; }

void OnSuspendQuery() { SignalDeviceChange(); }

void CancelDeviceNotifications() {}
