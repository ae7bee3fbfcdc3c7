// DriverState: the library's one process-wide state, from load to unload.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "driver/core/calibration_record.h"
#include "driver/core/demo_image.h"

inline constexpr int32_t kErrInvalidDevice = 4099;

struct DriverState {
    int32_t demoRequested = 0;
    int32_t demoActive = 0;
    std::atomic<int32_t> lastError{0};
    bool notificationThreadStarted = false;
    HANDLE deviceChangeEvent = nullptr;
    // Named "Qor Enumerate": set for outside tools. QorInitSystem waits on the private event
    // instead, because a named event is shared by every process that loads the library.
    HANDLE enumerationEvent = nullptr;
    HANDLE privateEnumerationEvent = nullptr;
    qor::Calibration calibration;
    int32_t demoPattern = qor::kFirstDemoPattern;
};

DriverState& Driver();

inline bool IsNoDevice(HANDLE device) {
    return device == nullptr || device == INVALID_HANDLE_VALUE;
}

// Records a rejected device handle.
inline void RejectDevice() { Driver().lastError = kErrInvalidDevice; }

// Creation and release at library load and unload (DllMain).
void InitialiseDriverState();
void ReleaseDriverState();
