// Entry points of the timer acquisition of the older interface: the library polls the sensor
// every 500 ms on the starting thread and tells the caller's window by message.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"

#include "driver/core/acquisition.h"

namespace {

constexpr UINT kPollMs = 500;
constexpr int32_t kTimeoutMs = 900000;
constexpr UINT kMsgImageReady = WM_APP + 200;
constexpr UINT kMsgStatusFailed = WM_APP + 201;
constexpr UINT kMsgAcquireTimeout = WM_APP + 202;

TimerAcquisition& Timer() { return Driver().timer; }

void StopTimer() {
    TimerAcquisition& timer = Timer();
    if (timer.timerId != 0) {
        KillTimer(nullptr, timer.timerId);
        timer.timerId = 0;
    }
}

void ReleaseImageBuffer() {
    TimerAcquisition& timer = Timer();
    if (timer.imageBuffer != nullptr) {
        VirtualUnlock(timer.imageBuffer, timer.imageBufferBytes);
        VirtualFree(timer.imageBuffer, 0, MEM_RELEASE);
        timer.imageBuffer = nullptr;
        timer.imageBufferBytes = 0;
    }
}

// A committed buffer of pixelCount values, locked in physical memory. A buffer still held from
// an earlier test acquisition is released first, and one that cannot be locked is not kept, so
// nothing leaks.
void AllocateImageBuffer() {
    ReleaseImageBuffer();
    const int32_t pixels = Driver().calibration.set.pixelCount;
    if (pixels <= 0) {
        return;
    }
    const size_t bytes = size_t(pixels) * sizeof(int32_t);
    void* memory = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) {
        return;
    }
    if (!VirtualLock(memory, bytes)) {
        VirtualFree(memory, 0, MEM_RELEASE);
        return;
    }
    Timer().imageBuffer = static_cast<int32_t*>(memory);
    Timer().imageBufferBytes = bytes;
}

// One acquisition polls at a time: a new one stops the timer of the earlier one.
void StartPolling(HANDLE device) {
    StopTimer();
    TimerAcquisition& timer = Timer();
    timer.elapsedMs = 0;
    timer.timerDevice = device;
    timer.timerId = SetTimer(nullptr, 0, kPollMs, TimerProc);
}

void Notify(UINT message, LPARAM data) {
    if (HWND window = Timer().notifyWindow) {
        SendMessageW(window, message, 0, data);
    }
}

}  // namespace

QOR_API int32_t WINAPI AcquireImage(HANDLE device, HWND notifyWindow) {
    DriverState& state = Driver();
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return 0;
    }
    state.timer.notifyWindow = notifyWindow;
    if (qor::Arm(state.port, state.calibration, ToDevice(device)) == 0) {
        return 0;
    }
    StartPolling(device);
    return 1;
}

QOR_API int32_t WINAPI AcquireTestImage(HANDLE device, int32_t, HWND notifyWindow) {
    DriverState& state = Driver();
    AllocateImageBuffer();
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return 0;
    }
    state.timer.notifyWindow = notifyWindow;
    if (qor::ArmTestImage(state.port, state.calibration, ToDevice(device)) == 0) {
        return 0;
    }
    StartPolling(device);
    return 1;
}

QOR_API int32_t WINAPI KelvoAcquireTestImage(HANDLE device) {
    DriverState& state = Driver();
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return 0;
    }
    AllocateImageBuffer();
    return qor::ArmTestImage(state.port, state.calibration, ToDevice(device));
}

QOR_API void WINAPI TimerProc(HWND, UINT, UINT_PTR, DWORD) {
    DriverState& state = Driver();
    TimerAcquisition& timer = state.timer;
    if (timer.timerDevice == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return;
    }
    int32_t status = 0;
    if (qor::QueryCaptureStatus(state.port, ToDevice(timer.timerDevice), status) != 0) {
        StopTimer();
        ReleaseImageBuffer();
        Notify(kMsgStatusFailed, 0);
        status = 0;
    } else if (status != 0) {
        // In the timer sequence a non-zero status byte is the signal of a captured frame.
        StopTimer();
        timer.timerDevice = INVALID_HANDLE_VALUE;
        int32_t* buffer = timer.imageBuffer;
        if (buffer != nullptr) {
            VirtualUnlock(buffer, timer.imageBufferBytes);
        }
        timer.imageBuffer = nullptr;  // the receiver owns it now
        timer.imageBufferBytes = 0;
        Notify(kMsgImageReady, reinterpret_cast<LPARAM>(buffer));
        return;
    }
    timer.elapsedMs += static_cast<int32_t>(kPollMs);
    if (timer.elapsedMs > kTimeoutMs) {
        StopTimer();
        timer.timerDevice = INVALID_HANDLE_VALUE;
        ReleaseImageBuffer();
        Notify(kMsgAcquireTimeout, 0);
    }
}

QOR_API void WINAPI CancelImage(HANDLE device) {
    DriverState& state = Driver();
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return;
    }
    qor::QorCancelAcquireImage(state.port, ToDevice(device));
    StopTimer();
    ReleaseImageBuffer();
}
