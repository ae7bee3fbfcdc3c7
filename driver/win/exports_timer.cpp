// Entry points of the timer acquisition of the older interface: the library polls the sensor
// every 500 ms on the starting thread and tells the caller's window by message.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/driver_state.h"
#include "driver/win/timer_acquisition.h"

#include "driver/core/acquisition.h"

namespace {

constexpr int32_t kPollMs = 500;
constexpr int32_t kTimeoutMs = 900000;
constexpr UINT kMsgImageReady = WM_APP + 200;
constexpr UINT kMsgStatusFailed = WM_APP + 201;
constexpr UINT kMsgAcquireTimeout = WM_APP + 202;

TimerAcquisition& Timer() { return Driver().timer; }

void Notify(UINT message, LPARAM data) {
    if (HWND window = Timer().notifyWindow) {
        SendMessageW(window, message, 0, data);
    }
}

}  // namespace

QOR_API int32_t WINAPI AcquireImage(HANDLE device, HWND notifyWindow) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        DriverState& state = Driver();
        if (device == INVALID_HANDLE_VALUE) {
            RejectDevice();
            return 0;
        }
        state.timer.notifyWindow = notifyWindow;
        if (qor::Arm(state.port, state.calibration, ToDevice(device)) == 0) {
            return 0;
        }
        StartPolling(device, TimerProc);
        return 1;
    });
}

QOR_API int32_t WINAPI AcquireTestImage(HANDLE device, int32_t, HWND notifyWindow) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
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
        StartPolling(device, TimerProc);
        return 1;
    });
}

QOR_API int32_t WINAPI KelvoAcquireTestImage(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        DriverState& state = Driver();
        if (device == INVALID_HANDLE_VALUE) {
            RejectDevice();
            return 0;
        }
        AllocateImageBuffer();
        return qor::ArmTestImage(state.port, state.calibration, ToDevice(device));
    });
}

QOR_API void WINAPI TimerProc(HWND, UINT message, UINT_PTR timerId, DWORD) {
    Guarded([&] {
        if (KillStaleTimer(message, timerId)) {
            return;
        }
        DriverState& state = Driver();
        TimerAcquisition& timer = state.timer;
        if (timer.timerDevice == INVALID_HANDLE_VALUE) {
            RejectDevice();
            return;
        }
        int32_t status = 0;
        if (qor::QueryCaptureStatus(state.port, ToDevice(timer.timerDevice), status) != 0) {
            StopPollingTimer();
            ReleaseImageBuffer();
            Notify(kMsgStatusFailed, 0);
            status = 0;
        } else if (status != 0) {
            // In the timer sequence a non-zero status byte is the signal of a captured frame.
            StopPollingTimer();
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
        timer.elapsedMs += kPollMs;
        if (timer.elapsedMs > kTimeoutMs) {
            StopPollingTimer();
            timer.timerDevice = INVALID_HANDLE_VALUE;
            ReleaseImageBuffer();
            Notify(kMsgAcquireTimeout, 0);
        }
    });
}

QOR_API void WINAPI CancelImage(HANDLE device) {
    Guarded([&] {
        DriverState& state = Driver();
        if (device == INVALID_HANDLE_VALUE) {
            RejectDevice();
            return;
        }
        qor::QorCancelAcquireImage(state.port, ToDevice(device));
        StopPollingTimer();
        ReleaseImageBuffer();
    });
}
