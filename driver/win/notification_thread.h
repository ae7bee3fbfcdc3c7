// The notification thread: a hidden "EventWnd" window that watches sensor arrival and removal.
//
// The thread holds its own reference to this library and leaves through
// FreeLibraryAndExitThread, so the library's code stays mapped for as long as the thread runs,
// however early or late the host calls FreeLibrary; nothing ever waits for the thread inside
// DllMain. It runs until the process ends.
#pragma once

#include <windows.h>

void SetNotificationModule(HINSTANCE instance);
HINSTANCE NotificationModule();

enum class NotificationStart { AlreadyRunning, Started, Failed };
enum class ChangeEvent { SetAlways, SetWhenStarting };
// Starts the thread once per process. The started flag and the device-change event are changed
// under one lock, so two callers never start two threads. `changeEvent` becomes the caller's
// device-change event on every call, or only when this call starts the thread.
NotificationStart StartNotificationThreadOnce(HANDLE changeEvent, ChangeEvent rule);
