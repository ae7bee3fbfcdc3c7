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
}

void ReleaseDriverState() {
    DriverState& state = Driver();
    qor::ReleaseCalibration(state.calibration);
    if (state.enumerationEvent != nullptr) {
        CloseHandle(state.enumerationEvent);
        state.enumerationEvent = nullptr;
    }
    if (state.privateEnumerationEvent != nullptr) {
        CloseHandle(state.privateEnumerationEvent);
        state.privateEnumerationEvent = nullptr;
    }
}
