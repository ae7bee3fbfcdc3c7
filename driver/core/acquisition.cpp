// The polled acquisition sequence.
#include "driver/core/acquisition.h"

#include "common/core/stage_trace.h"
#include "driver/core/sensor_type_table.h"

namespace qor {
namespace {

bool Rejected(DeviceHandle device) {
    return device == kNoDevice || device == kInvalidDevice;
}

// A failed call: its cause for GetKelvoError, and the 0 it returns.
int32_t Fail(SensorPort& port, int32_t cause) {
    port.lastError = cause;
    return 0;
}

// False when the arm command itself could not be sent: the sensor is then not armed, and a
// caller told otherwise would wait for an image that never comes.
bool SendArm(SensorPort& port, DeviceHandle device, uint32_t byteCount) {
    CommandBlock block = SimpleCommand(CmdArm);
    block.Put32(2, byteCount);
    return SendCommand(port, device, block, ReplyLength(CmdArm));
}

enum class Pipeline { Current, Legacy };

int32_t GetImageData(SensorPort& port, const Calibration& calibration, DeviceHandle device,
                     int32_t bufferBytes, int32_t* buffer, int32_t processFlag,
                     const AcquisitionServices& services, Pipeline pipeline) {
    if (Rejected(device)) {
        return Fail(port, ErrInvalidDevice);
    }
    // Preset non-zero: a missing or short reply reads as "no frame yet".
    int32_t status = 1;
    if (QueryCaptureStatus(port, device, status) != 0) {
        return Fail(port, ErrTimeout);
    }
    if (status != 0) {
        return Fail(port, ErrNoImageYet);
    }
    uint32_t threshold = kDefaultExposureThreshold;
    if (pipeline == Pipeline::Current && services.exposureThreshold) {
        threshold = services.exposureThreshold();
    }
    const CalibrationSet& set = calibration.set;
    if (set.Corrects() && static_cast<int64_t>(bufferBytes) < int64_t{set.pixelCount} * 4) {
        return Fail(port, ErrBufferTooSmall);
    }
    if (buffer == nullptr || bufferBytes < 0) {
        return Fail(port, ErrBufferTooSmall);
    }
    const int32_t pixels = bufferBytes / 4;
    if (ReadImagePixels(port, device, pixels, buffer) != 0) {
        return Fail(port, ErrReadoutFailed);
    }
    MarkStage("readout");
    const auto values = static_cast<std::size_t>(pixels);
    const bool corrected =
        pipeline == Pipeline::Current
            ? CorrectFrame(buffer, values, calibration, threshold, processFlag, services.correction)
            : CorrectLegacyFrame(buffer, values, calibration, processFlag, services.correction);
    MarkStage("corrected");
    return corrected ? 1 : Fail(port, ErrBufferTooSmall);
}

} // namespace

bool LookupHardwareInfo(const Calibration& calibration, HardwareInfo& info) {
    const uint32_t imagerId = calibration.set.imagerId;
    if (imagerId == 0) {
        return false;
    }
    const SensorGeometry geometry = SensorTypeTable(imagerId);
    info.width = geometry.width;
    info.height = geometry.height;
    info.sensorType = SensorTypeForGeometry(imagerId);
    info.imagerId = imagerId;
    return true;
}

int32_t Arm(SensorPort& port, const Calibration& calibration, DeviceHandle device) {
    HardwareInfo info;
    const bool haveInfo = LookupHardwareInfo(calibration, info);
    if (device == kInvalidDevice) {
        return Fail(port, ErrInvalidDevice);
    }
    int64_t pixels = int64_t{info.width} * info.height;
    if (!haveInfo) {
        // No identity: a loaded calibration still knows the frame; without one there is no
        // byte count to arm with.
        if (!calibration.loaded || calibration.set.pixelCount <= 0) {
            return Fail(port, ErrNotInitialised);
        }
        pixels = calibration.set.pixelCount;
    }
    return SendArm(port, device, static_cast<uint32_t>(pixels * 2)) ? 1 : Fail(port, ErrTimeout);
}

int32_t ArmTestImage(SensorPort& port, const Calibration& calibration, DeviceHandle device) {
    if (device == kInvalidDevice) {
        return Fail(port, ErrInvalidDevice);
    }
    if (calibration.set.pixelCount <= 0) {
        return Fail(port, ErrNotInitialised);
    }
    if (!SendArm(port, device, static_cast<uint32_t>(calibration.set.pixelCount) * 2)) {
        return Fail(port, ErrTimeout);
    }
    SendSimpleCommand(port, device, SimpleCommand(CmdTestImage), ReplyLength(CmdTestImage));
    return 1;
}

int32_t QorGetCapStatus(SensorPort& port, DeviceHandle device, int32_t* status) {
    if (status == nullptr) {
        return Fail(port, ErrBufferTooSmall);
    }
    *status = 0;
    if (Rejected(device)) {
        return Fail(port, ErrInvalidDevice);
    }
    // Preset 0: a missing or short reply reads as captured; the image-data call, which queries
    // again with a non-zero preset, then finds no frame and returns 0.
    int32_t raw = 0;
    if (QueryCaptureStatus(port, device, raw) != 0) {
        return Fail(port, ErrTimeout);
    }
    if (raw == 0) {
        *status = 1;
    }
    return 1;
}

int32_t GetKelvoCapStatus(SensorPort& port, DeviceHandle device, int32_t* rawStatus) {
    if (Rejected(device)) {
        return Fail(port, ErrInvalidDevice);
    }
    if (rawStatus == nullptr) {
        return Fail(port, ErrBufferTooSmall);
    }
    return QueryCaptureStatus(port, device, *rawStatus) != 0 ? Fail(port, ErrTimeout) : 1;
}

int32_t KelvoGetImgData(SensorPort& port, const Calibration& calibration, DeviceHandle device,
                        int32_t bufferBytes, int32_t* buffer, int32_t processFlag,
                        const AcquisitionServices& services) {
    return GetImageData(port, calibration, device, bufferBytes, buffer, processFlag, services,
                        Pipeline::Current);
}

int32_t NewKelvoGetImgData(SensorPort& port, const Calibration& calibration, DeviceHandle device,
                           int32_t bufferBytes, int32_t* buffer, int32_t processFlag,
                           const AcquisitionServices& services) {
    return GetImageData(port, calibration, device, bufferBytes, buffer, processFlag, services,
                        Pipeline::Legacy);
}

int32_t KelvoGetRawImgData(SensorPort& port, DeviceHandle device, int32_t bufferBytes,
                           int32_t* buffer) {
    if (buffer == nullptr || bufferBytes < 0) {
        return Fail(port, ErrBufferTooSmall);
    }
    return ReadImagePixels(port, device, bufferBytes / 4, buffer) == 0
               ? 1
               : Fail(port, ErrReadoutFailed);
}

int32_t QorCancelAcquireImage(SensorPort& port, DeviceHandle device) {
    SendSimpleCommand(port, device, SimpleCommand(CmdCancel), ReplyLength(CmdCancel));
    return 0;
}

} // namespace qor
