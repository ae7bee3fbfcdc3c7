// Entry points that initialise and shut down a sensor, and demo-mode switching.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/device_backend.h"
#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"
#include "driver/win/sensor_access.h"
#include "driver/win/timer_acquisition.h"

#include <string>

namespace {

constexpr DWORD kFirstEnumerationWaitMs = 1000;
// How much longer a first enumeration that is still running may take. A practice PC at logon
// starts this program beside many others; a sensor that is plugged in must not be reported
// missing because the machine was busy. With no sensor the enumeration ends at once, so that
// answer still comes after the 1000 ms.
constexpr DWORD kSlowEnumerationLimitMs = 15000;

// Starts the notification thread once per process and waits for its first enumeration.
// False when that enumeration found no sensor within the wait.
bool EnsureNotificationThread() {
    EnsureDeviceBackend();
    switch (StartNotificationThreadOnce(nullptr, ChangeEvent::SetWhenStarting)) {
    case NotificationStart::AlreadyRunning:
        return true;
    case NotificationStart::Failed:
        return false;
    case NotificationStart::Started:
        break;
    }
    const DriverState& state = Driver();
    if (WaitForSingleObject(state.privateEnumerationEvent, kFirstEnumerationWaitMs) ==
        WAIT_OBJECT_0) {
        return true;
    }
    if (WaitForSingleObject(state.firstEnumerationFinished, kSlowEnumerationLimitMs) !=
        WAIT_OBJECT_0) {
        return false;
    }
    return WaitForSingleObject(state.privateEnumerationEvent, 0) == WAIT_OBJECT_0;
}

std::string IndexedDeviceName(int32_t index) { return "mivonusb-" + std::to_string(index); }

}  // namespace

QOR_API int32_t WINAPI QorSetDemoMode(int32_t on) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        Driver().demoRequested = on;
        return 1;
    });
}

QOR_API HANDLE WINAPI QorInitSystem(int32_t index) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        DriverState& state = Driver();
        state.demoActive = state.demoRequested;
        if (state.demoActive != 0) {
            return reinterpret_cast<HANDLE>(static_cast<intptr_t>(qor::kDemoHandle));
        }
        EnsureDeviceBackend();
        if (SimulatorMissing()) {
            return Fail<HANDLE>(qor::ErrNoSimulator, nullptr);
        }
        if (!EnsureNotificationThread() || index < 0) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Standard);
    });
}

QOR_API HANDLE WINAPI QorInitRawSystem(int32_t index) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        if (!EnsureNotificationThread() || index < 0) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Raw);
    });
}

QOR_API HANDLE WINAPI NewQorInitSystem(int32_t mustBeZero) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        if (mustBeZero != 0) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor("mivonusb-0", InitKind::Legacy);
    });
}

QOR_API HANDLE WINAPI InitQorSystem(int32_t index) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        OutputDebugStringA("InitQorSystem\n");
        if (index != 0 && index != 1) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor(IndexedDeviceName(index).c_str(), InitKind::Standard);
    });
}

QOR_API HANDLE WINAPI InitKelvoSystem(const char* deviceName) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        if (deviceName == nullptr) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor(deviceName, InitKind::Standard);
    });
}

QOR_API HANDLE WINAPI KelvoInitRawSystem(const char* deviceName) {
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        if (deviceName == nullptr) {
            return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
        }
        return InitialiseSensor(deviceName, InitKind::Raw);
    });
}

QOR_API int32_t WINAPI InitKelvoSensor(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (device == nullptr) {
            RejectDevice();
            return 0;
        }
        return Driver().calibration.set.imagerId != 0 ? 1 : Fail(qor::ErrNotInitialised, 0);
    });
}

QOR_API int32_t WINAPI QorInitSensor(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            return 1;
        }
        return InitKelvoSensor(device);
    });
}

QOR_API int32_t WINAPI KelvoShutDown(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        // A timer acquisition must not go on polling a handle that is about to be closed (and
        // that a later open may get again).
        EndTimerAcquisition();
        qor::ReleaseCalibration(Driver().calibration);
        CloseSensor(device);
        return 1;
    });
}

QOR_API int32_t WINAPI QorShutDown(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            return 1;
        }
        return KelvoShutDown(device);
    });
}

QOR_API int32_t WINAPI QorFinishExp(HANDLE) {
    return Guarded<int32_t>(1, [] { return 1; });
}

QOR_API int32_t WINAPI KelvoFinishExp() {
    return Guarded<int32_t>(1, [] { return 1; });
}

QOR_API void WINAPI KelvoCleanup() {
    Guarded([] {});
}
