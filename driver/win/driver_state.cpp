// DriverState lifetime.
#include "driver/win/driver_state.h"

DriverState& Driver() {
    static DriverState state;
    return state;
}

void InitialiseDriverState() {
    DriverState& state = Driver();
    state.enumerationEvent = CreateEventW(nullptr, FALSE, FALSE, L"Qor Enumerate");
    state.privateEnumerationEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state.firstEnumerationFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state.port.hooks.dispatchPendingMessage = [] {
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // The host's quit request belongs to the host's own loop: put it back.
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    };
}

void ReleaseDriverState() {
    DriverState& state = Driver();
    qor::ReleaseCalibration(state.calibration);
    for (HANDLE* event : {&state.enumerationEvent, &state.privateEnumerationEvent,
                          &state.firstEnumerationFinished}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}
