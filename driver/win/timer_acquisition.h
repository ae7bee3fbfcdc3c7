// The state behind the timer acquisition of the older interface: the polling timer and the
// committed image buffer handed to the caller's window.
#pragma once

#include <windows.h>

// Stops the polling timer and releases a buffer not yet handed over (shutdown and unload), so
// no timer polls a closed handle that a later open might reuse.
void EndTimerAcquisition();

void StopPollingTimer();
void ReleaseImageBuffer();
// A committed buffer of the calibration's pixel count, locked in physical memory when the
// working set allows it (raised for it if need be) and left unlocked otherwise: the caller
// always gets a buffer when memory is there.
void AllocateImageBuffer();
// Starts polling `device` on the calling thread. While a timer exists the library is pinned,
// so a FreeLibrary by the host never leaves a WM_TIMER pointing into unmapped code.
void StartPolling(HANDLE device, TIMERPROC proc);
// A WM_TIMER of a timer that is no longer the running acquisition's (stopped from another
// thread, where KillTimer cannot reach it) is killed here, on its own thread: true then.
bool KillStaleTimer(UINT message, UINT_PTR timerId);
