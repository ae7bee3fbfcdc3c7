// Entry points of the timer acquisition of the older interface.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"

QOR_API int32_t WINAPI AcquireImage(HANDLE device, HWND) {
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
    }
    return 0;
}

QOR_API int32_t WINAPI AcquireTestImage(HANDLE device, int32_t, HWND) {
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
    }
    return 0;
}

QOR_API int32_t WINAPI KelvoAcquireTestImage(HANDLE device) {
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
    }
    return 0;
}

QOR_API void WINAPI TimerProc(HWND, UINT, UINT_PTR, DWORD) {}

QOR_API void WINAPI CancelImage(HANDLE device) {
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
    }
}
