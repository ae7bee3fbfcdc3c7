// Handlers of the notification window: enumeration at creation, device-interface and handle
// events, the suspend query.
#pragma once

#include <windows.h>

void OnEventWindowCreate(HWND window);
LRESULT OnDeviceChange(WPARAM event, LPARAM data);
void OnSuspendQuery();
void CancelDeviceNotifications();
