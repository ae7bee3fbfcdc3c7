// DriverState lifetime, and the choice of the way to the sensors.
#include "driver/win/driver_state.h"

#include "driver/win/device_events.h"
#include "driver/win/win32_device_io.h"
#include "external/sensor_sim/core/sim_device_io.h"

DriverState& Driver() {
    static DriverState state;
    return state;
}

void InitialiseDriverState() {
    DriverState& state = Driver();
    state.enumerationEvent = CreateEventW(nullptr, FALSE, FALSE, L"Qor Enumerate");
    state.privateEnumerationEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // QOR_SENSOR_SIMULATOR names the simulated sensors' folder; without it, the real sensors.
    std::unique_ptr<qor::DeviceIo> simulator;
    try {
        simulator = qor::sim::SimDeviceIo::FromEnvironment();
    } catch (...) {
        simulator.reset();
    }
    if (simulator) {
        state.deviceIo = std::move(simulator);
    } else {
        state.deviceIo = std::make_unique<Win32DeviceIo>();
    }
    state.port.io = state.deviceIo.get();
    state.port.hooks.registerHandleNotification = RegisterHandleNotification;
    state.port.hooks.signalDeviceChange = SignalDeviceChange;
    state.port.hooks.dispatchPendingMessage = [] {
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    };
}

void ReleaseDriverState() {
    DriverState& state = Driver();
    qor::ReleaseCalibration(state.calibration);
    for (HANDLE* event : {&state.enumerationEvent, &state.privateEnumerationEvent}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}
