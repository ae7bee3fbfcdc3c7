// Entry points of the polled acquisition: arm, capture status, image data, cancel.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/driver_state.h"
#include "driver/win/sensor_access.h"

namespace {

// Demo mode writes the next pattern; a buffer too small for the demo frame is refused.
int32_t DeliverDemoImage(int32_t* buffer, int32_t bufferBytes) {
    constexpr size_t kDemoBytes = qor::kDemoPixelCount * sizeof(int32_t);
    if (buffer == nullptr || bufferBytes < 0 || static_cast<size_t>(bufferBytes) < kDemoBytes) {
        return Fail(qor::ErrBufferTooSmall, 0);
    }
    DriverState& state = Driver();
    qor::FillDemoImage(state.demoPattern, buffer);
    state.demoPattern = qor::NextDemoPattern(state.demoPattern);
    return 1;
}

}  // namespace

QOR_API int32_t WINAPI KelvoAcquireImage(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        DriverState& state = Driver();
        state.timer.notifyWindow = nullptr;
        return qor::Arm(state.port, state.calibration, ToDevice(device));
    });
}

QOR_API int32_t WINAPI QorAcquireImage(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            return 1;
        }
        return KelvoAcquireImage(device);
    });
}

QOR_API int32_t WINAPI GetKelvoCapStatus(HANDLE device, int32_t* rawStatus) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return qor::GetKelvoCapStatus(Driver().port, ToDevice(device), rawStatus);
    });
}

QOR_API int32_t WINAPI QorGetCapStatus(HANDLE device, int32_t* status) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            if (status == nullptr) {
                return Fail(qor::ErrBufferTooSmall, 0);
            }
            *status = 1;
            return 1;
        }
        return qor::QorGetCapStatus(Driver().port, ToDevice(device), status);
    });
}

QOR_API int32_t WINAPI KelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                       int32_t processFlag) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        DriverState& state = Driver();
        return qor::KelvoGetImgData(state.port, state.calibration, ToDevice(device), bufferBytes,
                                    buffer, processFlag, AcquisitionServices());
    });
}

QOR_API int32_t WINAPI NewKelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t processFlag) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        DriverState& state = Driver();
        return qor::NewKelvoGetImgData(state.port, state.calibration, ToDevice(device), bufferBytes,
                                       buffer, processFlag, AcquisitionServices());
    });
}

QOR_API int32_t WINAPI QorGetImgData(HANDLE device, int32_t* buffer, int32_t bufferBytes) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            return DeliverDemoImage(buffer, bufferBytes);
        }
        return KelvoGetImgData(device, bufferBytes, buffer, 1);
    });
}

QOR_API int32_t WINAPI KelvoGetRawImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return qor::KelvoGetRawImgData(Driver().port, ToDevice(device), bufferBytes, buffer);
    });
}

QOR_API int32_t WINAPI QorCancelAcquireImage(HANDLE device) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            return Driver().demoActive;
        }
        return qor::QorCancelAcquireImage(Driver().port, ToDevice(device));
    });
}
