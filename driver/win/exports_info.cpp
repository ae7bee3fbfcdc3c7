// Entry points that report identity, geometry, versions, errors and device presence.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/driver_state.h"
#include "driver/win/sensor_access.h"

#include "driver/core/acquisition.h"
#include "driver/core/sensor_type_table.h"

namespace {

DriverVersion* FillDriverVersion(DriverVersion* version) {
    if (version != nullptr) {
        *version = DriverVersion{5, 5, 0};
    }
    return version;
}

}  // namespace

QOR_API int32_t WINAPI GetImagerID() {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return static_cast<int32_t>(Driver().calibration.set.imagerId);
    });
}

QOR_API int32_t WINAPI GetKelvoHWInfo(HANDLE, HWInfo* info) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        qor::HardwareInfo hardware;
        if (info == nullptr) {
            return Fail(qor::ErrBufferTooSmall, 0);
        }
        if (!qor::LookupHardwareInfo(Driver().calibration, hardware)) {
            return Fail(qor::ErrNotInitialised, 0);
        }
        info->width = hardware.width;
        info->height = hardware.height;
        info->sensorType = hardware.sensorType;
        info->imagerId = static_cast<int32_t>(hardware.imagerId);
        return 1;
    });
}

QOR_API int32_t WINAPI QorGetHWInfo(HANDLE device, HWInfo* info) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        if (Driver().demoActive != 0) {
            if (info == nullptr) {
                return Fail(qor::ErrBufferTooSmall, 0);
            }
            // The demo geometry is the sensor type 2 row, which is what DemoImagerId's type reads as.
            info->width = qor::kDemoWidth;
            info->height = qor::kDemoHeight;
            info->sensorType = qor::SensorTypeForGeometry(qor::kDemoImagerId);
            info->imagerId = static_cast<int32_t>(qor::kDemoImagerId);
            return 1;
        }
        return GetKelvoHWInfo(device, info);
    });
}

QOR_API DriverVersion* WINAPI QorGetDriverVersion(DriverVersion* version) {
    return Guarded<DriverVersion*>(nullptr, [&]() -> DriverVersion* {
        return FillDriverVersion(version);
    });
}

QOR_API DriverVersion* WINAPI GetDriverVersion(DriverVersion* version) {
    return Guarded<DriverVersion*>(nullptr, [&]() -> DriverVersion* {
        return FillDriverVersion(version);
    });
}

QOR_API int32_t WINAPI GetKelvoError() {
    return Guarded<int32_t>(0, [] { return Driver().port.lastError.load(); });
}

QOR_API int32_t WINAPI GetLowLevelDriverVer() {
    return Guarded<int32_t>(-1, [] { return qor::GetLowLevelDriverVer(Driver().port); });
}

QOR_API int32_t WINAPI QorGetDeviceStatus(int32_t* status) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        constexpr UINT_PTR kStatusBytes = 8 * sizeof(int32_t);
        if (status == nullptr || IsBadReadPtr(status, kStatusBytes) ||
            IsBadWritePtr(status, kStatusBytes)) {
            return 0;
        }
        Driver().port.devices.DeviceStatus(status);
        return 1;
    });
}
