// The polled acquisition: arming, the capture status, the image-data calls that read and correct
// a frame, the raw read-out, and cancel. The Windows shell adds demo mode, the timer way and the
// registry; the threshold reaches this core through a hook.
#pragma once

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "driver/core/sensor_transport.h"

#include <cstdint>
#include <functional>

namespace qor {

inline constexpr uint32_t kDefaultExposureThreshold = 1023;

struct AcquisitionServices {
    // The under-exposure threshold ("Exposure Level" in the registry); empty: 1023.
    std::function<uint32_t()> exposureThreshold;
    CorrectionServices correction;
};

// The geometry and identity GetKelvoHWInfo reports: false (nothing filled) for an imagerId of 0.
struct HardwareInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t sensorType = 0;
    uint32_t imagerId = 0;
};
bool LookupHardwareInfo(const Calibration& calibration, HardwareInfo& info);

// Arm: CmdArm with the frame's byte count (width x height x 2 of LookupHardwareInfo). A device
// of -1 sets lastError 4099 and gives 0. Without an imagerId the geometry of a loaded
// calibration is used; with neither the sensor is not armed and the result is 0. Else 1.
int32_t Arm(SensorPort& port, const Calibration& calibration, DeviceHandle device);
// Arms for a test image: CmdArm with the calibration's pixelCount x 2 bytes, then CmdTestImage.
// A device of -1: lastError 4099 and 0. No pixel count (no calibration): 0 without traffic.
int32_t ArmTestImage(SensorPort& port, const Calibration& calibration, DeviceHandle device);

// QorGetCapStatus: `status` 1 when the sensor holds a captured frame, else 0. 0 when the handle
// is rejected (0 or -1; lastError 4099), the status command could not be sent, or `status` is
// null; else 1.
int32_t QorGetCapStatus(SensorPort& port, DeviceHandle device, int32_t* status);
// GetKelvoCapStatus: the raw status byte into `rawStatus` (left as the caller set it when the
// reply carries none; 0 = captured). 0 when rejected, not sent or null, else 1.
int32_t GetKelvoCapStatus(SensorPort& port, DeviceHandle device, int32_t* rawStatus);

// KelvoGetImgData: status check, threshold, buffer check, read-out of bufferBytes / 4 pixels and
// CorrectFrame in place. 1 when a corrected frame is in the buffer; 0 for a rejected handle, no
// frame yet, a buffer that is null, negative or too small for the loaded calibration, or a failed
// read.
int32_t KelvoGetImgData(SensorPort& port, const Calibration& calibration, DeviceHandle device,
                        int32_t bufferBytes, int32_t* buffer, int32_t processFlag,
                        const AcquisitionServices& services);
// NewKelvoGetImgData: the same with CorrectLegacyFrame and no threshold.
int32_t NewKelvoGetImgData(SensorPort& port, const Calibration& calibration, DeviceHandle device,
                           int32_t bufferBytes, int32_t* buffer, int32_t processFlag,
                           const AcquisitionServices& services);
// KelvoGetRawImgData: bufferBytes / 4 pixels, no status query and no correction. 1 or 0 (also
// for a null buffer or a negative size).
int32_t KelvoGetRawImgData(SensorPort& port, DeviceHandle device, int32_t bufferBytes,
                           int32_t* buffer);
// QorCancelAcquireImage: CmdCancel; 0 (information only).
int32_t QorCancelAcquireImage(SensorPort& port, DeviceHandle device);

} // namespace qor
