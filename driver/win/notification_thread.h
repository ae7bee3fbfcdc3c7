// The notification thread: a hidden "EventWnd" window that watches sensor arrival and removal.
#pragma once

#include <windows.h>

void SetNotificationModule(HINSTANCE instance);
// Starts the thread and its window; false when the thread could not be created.
bool StartNotificationThread();
// Closes the window and waits until the thread has left the library's code (library unload).
void StopNotificationThread();
// The hidden window (null before the thread has created it).
HWND NotificationWindow();
