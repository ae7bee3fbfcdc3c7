// Entry points of the polled acquisition: arm, capture status, image data, cancel.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"
#include "driver/win/sensor_access.h"

namespace {

// Demo mode writes the next pattern; a buffer too small for the demo frame is refused.
int32_t DeliverDemoImage(int32_t* buffer, int32_t bufferBytes) {
    constexpr size_t kDemoBytes = qor::kDemoPixelCount * sizeof(int32_t);
    if (buffer == nullptr || bufferBytes < 0 || static_cast<size_t>(bufferBytes) < kDemoBytes) {
        return 0;
    }
    DriverState& state = Driver();
    qor::FillDemoImage(state.demoPattern, buffer);
    state.demoPattern = qor::NextDemoPattern(state.demoPattern);
    return 1;
}

}  // namespace

QOR_API int32_t WINAPI KelvoAcquireImage(HANDLE device) {
    if (device == INVALID_HANDLE_VALUE) {
        RejectDevice();
        return 0;
    }
    return ArmSensor(device);
}

QOR_API int32_t WINAPI QorAcquireImage(HANDLE device) {
    if (Driver().demoActive != 0) {
        return 1;
    }
    return KelvoAcquireImage(device);
}

QOR_API int32_t WINAPI GetKelvoCapStatus(HANDLE device, int32_t* rawStatus) {
    if (IsNoDevice(device)) {
        RejectDevice();
        return 0;
    }
    int32_t status = rawStatus != nullptr ? *rawStatus : 0;
    const int32_t sent = QueryRawStatus(device, &status);
    if (rawStatus != nullptr) {
        *rawStatus = status;
    }
    return sent;
}

QOR_API int32_t WINAPI QorGetCapStatus(HANDLE device, int32_t* status) {
    if (status == nullptr) {
        return 0;
    }
    if (Driver().demoActive != 0) {
        *status = 1;
        return 1;
    }
    *status = 0;
    if (IsNoDevice(device)) {
        RejectDevice();
        return 0;
    }
    // Preset 0: a missing or short reply reads as captured; the image-data call asks again.
    int32_t rawStatus = 0;
    if (QueryRawStatus(device, &rawStatus) == 0) {
        return 0;
    }
    if (rawStatus == 0) {
        *status = 1;
    }
    return 1;
}

QOR_API int32_t WINAPI KelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                       int32_t processFlag) {
    if (IsNoDevice(device)) {
        RejectDevice();
        return 0;
    }
    return ReadCorrectedImage(device, bufferBytes, buffer, processFlag, false);
}

QOR_API int32_t WINAPI NewKelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t processFlag) {
    if (IsNoDevice(device)) {
        RejectDevice();
        return 0;
    }
    return ReadCorrectedImage(device, bufferBytes, buffer, processFlag, true);
}

QOR_API int32_t WINAPI QorGetImgData(HANDLE device, int32_t* buffer, int32_t bufferBytes) {
    if (Driver().demoActive != 0) {
        return DeliverDemoImage(buffer, bufferBytes);
    }
    return KelvoGetImgData(device, bufferBytes, buffer, 1);
}

QOR_API int32_t WINAPI KelvoGetRawImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t) {
    return ReadRawImage(device, bufferBytes, buffer);
}

QOR_API int32_t WINAPI QorCancelAcquireImage(HANDLE device) {
    if (Driver().demoActive != 0) {
        return Driver().demoActive;
    }
    CancelSensor(device);
    return 0;
}
