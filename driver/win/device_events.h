// Handlers of the notification window: enumeration at creation, device-interface and handle
// events, the suspend query; and the notification registrations.
#pragma once

#include <windows.h>

#include "driver/core/device_io.h"

void OnEventWindowCreate(HWND window);
LRESULT OnDeviceChange(WPARAM event, LPARAM data);
void OnSuspendQuery();
void CancelDeviceNotifications();

// Registers the notification window for handle events of a newly opened sensor (one
// registration is kept; a later open replaces it).
void RegisterHandleNotification(qor::DeviceHandle device);
// Cancels the registration when it belongs to `device` (the sensor is being shut down).
void CancelHandleNotification(qor::DeviceHandle device);
// Sets the caller's device-change event, if one was given.
void SignalDeviceChange();
