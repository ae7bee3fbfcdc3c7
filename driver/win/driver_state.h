// DriverState: the library's one process-wide state, from load to unload.
#pragma once

#include <windows.h>

#include <cstdint>
#include <atomic>

#include "driver/core/calibration_record.h"
#include "driver/core/demo_image.h"
#include "driver/core/device_io.h"
#include "driver/core/sensor_transport.h"

// The timer acquisition of the older interface (one at a time).
struct TimerAcquisition {
    HWND notifyWindow = nullptr;
    UINT_PTR timerId = 0;
    HANDLE timerDevice = INVALID_HANDLE_VALUE;
    int32_t elapsedMs = 0;
    int32_t* imageBuffer = nullptr;  // committed; null when none
    size_t imageBufferBytes = 0;
    bool imageBufferLocked = false;
};

struct DriverState {
    int32_t demoRequested = 0;
    int32_t demoActive = 0;
    // Both changed only under the notification thread's start lock; the event is read by the
    // notification thread.
    bool notificationThreadStarted = false;
    std::atomic<HANDLE> deviceChangeEvent{nullptr};
    // Named "Qor Enumerate": set for outside tools. QorInitSystem waits on the private event
    // instead, because a named event is shared by every process that loads the library.
    HANDLE enumerationEvent = nullptr;
    HANDLE privateEnumerationEvent = nullptr;
    // Set (and left set) once the notification thread's first enumeration has finished, whatever
    // it found, or once the thread gave up: tells a slow first enumeration from no sensor.
    HANDLE firstEnumerationFinished = nullptr;
    // The way to the sensors (port.io, chosen by device_backend.cpp at the first use), the
    // device tables, the last error and the hooks (device_events.cpp).
    qor::SensorPort port;
    qor::Calibration calibration;
    TimerAcquisition timer;
    int32_t demoPattern = qor::kFirstDemoPattern;
};

DriverState& Driver();

inline qor::DeviceHandle ToDevice(HANDLE handle) { return reinterpret_cast<qor::DeviceHandle>(handle); }
inline HANDLE ToHandle(qor::DeviceHandle device) { return reinterpret_cast<HANDLE>(device); }

// Records why a call fails, for GetKelvoError (kept until the next failure); `fallback` is the
// call's failure result.
template <typename T> T Fail(int32_t cause, T fallback) {
    Driver().port.lastError = cause;
    return fallback;
}
inline void RejectDevice() { Fail(qor::ErrInvalidDevice, 0); }

// Creation and release at library load and unload (DllMain). The state depends on no other part
// of the library: DllMain installs the device-event hooks after InitialiseDriverState and
// releases the device backend before ReleaseDriverState.
void InitialiseDriverState();
void ReleaseDriverState();
