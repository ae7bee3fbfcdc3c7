// Handlers of the notification window: enumeration at creation, device-interface and handle
// events, the suspend query; and the notification registrations.
#pragma once

#include <windows.h>

#include "driver/core/device_io.h"

// The notification window, created: it is remembered for the handle registrations before the
// first enumeration can release a waiting QorInitSystem, so that its open always finds it.
void OnEventWindowCreate(HWND window);
LRESULT OnDeviceChange(WPARAM event, LPARAM data);
void OnSuspendQuery();
// The window is closing: every registration is cancelled and the window forgotten.
void CancelDeviceNotifications();

// Registers the notification window for handle events of a newly opened sensor (one
// registration is kept; a later open replaces it).
void RegisterHandleNotification(qor::DeviceHandle device);
// Cancels the registration when it belongs to `device` (the sensor is being shut down).
void CancelHandleNotification(qor::DeviceHandle device);
// Sets the caller's device-change event, if one was given.
void SignalDeviceChange();
// Gives the driver core the two above as its hooks (DriverState::port.hooks), at library load.
void InstallDeviceHooks();
