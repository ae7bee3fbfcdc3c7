// Entry points that initialise and shut down a sensor, and demo-mode switching.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"
#include "driver/win/sensor_access.h"

#include <string>

namespace {

constexpr DWORD kFirstEnumerationWaitMs = 1000;

// Starts the notification thread once per process and waits for its first enumeration.
// False when that enumeration found no sensor within the wait.
bool EnsureNotificationThread() {
    DriverState& state = Driver();
    if (state.notificationThreadStarted) {
        return true;
    }
    state.notificationThreadStarted = true;
    state.deviceChangeEvent = nullptr;
    if (!StartNotificationThread()) {
        return false;
    }
    return WaitForSingleObject(state.privateEnumerationEvent, kFirstEnumerationWaitMs) ==
           WAIT_OBJECT_0;
}

std::string IndexedDeviceName(int32_t index) { return "mivonusb-" + std::to_string(index); }

}  // namespace

QOR_API int32_t WINAPI QorSetDemoMode(int32_t on) {
    Driver().demoRequested = on;
    return 1;
}

QOR_API HANDLE WINAPI QorInitSystem(int32_t index) {
    DriverState& state = Driver();
    state.demoActive = state.demoRequested;
    if (state.demoActive != 0) {
        return reinterpret_cast<HANDLE>(static_cast<intptr_t>(qor::kDemoHandle));
    }
    if (!EnsureNotificationThread() || index < 0) {
        return nullptr;
    }
    return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Standard);
}

QOR_API HANDLE WINAPI QorInitRawSystem(int32_t index) {
    if (!EnsureNotificationThread() || index < 0) {
        return nullptr;
    }
    return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Raw);
}

QOR_API HANDLE WINAPI NewQorInitSystem(int32_t mustBeZero) {
    if (mustBeZero != 0) {
        return nullptr;
    }
    return InitialiseSensor("mivonusb-0", InitKind::Legacy);
}

QOR_API HANDLE WINAPI InitQorSystem(int32_t index) {
    OutputDebugStringA("InitQorSystem\n");
    if (index != 0 && index != 1) {
        return nullptr;
    }
    return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Standard);
}

QOR_API HANDLE WINAPI InitKelvoSystem(const char* deviceName) {
    if (deviceName == nullptr) {
        return nullptr;
    }
    return InitialiseSensor(deviceName, InitKind::Standard);
}

QOR_API HANDLE WINAPI KelvoInitRawSystem(const char* deviceName) {
    if (deviceName == nullptr) {
        return nullptr;
    }
    return InitialiseSensor(deviceName, InitKind::Raw);
}

QOR_API int32_t WINAPI InitKelvoSensor(HANDLE device) {
    if (device == nullptr) {
        RejectDevice();
        return 0;
    }
    return Driver().calibration.set.imagerId != 0 ? 1 : 0;
}

QOR_API int32_t WINAPI QorInitSensor(HANDLE device) {
    if (Driver().demoActive != 0) {
        return 1;
    }
    return InitKelvoSensor(device);
}

QOR_API int32_t WINAPI KelvoShutDown(HANDLE device) {
    qor::ReleaseCalibration(Driver().calibration);
    CloseSensor(device);
    return 1;
}

QOR_API int32_t WINAPI QorShutDown(HANDLE device) {
    if (Driver().demoActive != 0) {
        return 1;
    }
    return KelvoShutDown(device);
}

QOR_API int32_t WINAPI QorFinishExp(HANDLE) { return 1; }

QOR_API int32_t WINAPI KelvoFinishExp() { return 1; }

QOR_API void WINAPI KelvoCleanup() {}
