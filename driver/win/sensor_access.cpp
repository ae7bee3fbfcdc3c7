// What the exports share on their way to the sensor.
#include "driver/win/sensor_access.h"

#include "driver/core/calibration_cache.h"
#include "driver/core/frame_correction.h"
#include "driver/win/device_backend.h"
#include "driver/win/device_events.h"
#include "driver/win/driver_state.h"
#include "driver/win/exposure_threshold.h"
#include "driver/win/message_boxes.h"
#include "imageproc/core/qor_image_proc.h"

namespace {
constexpr unsigned kUnderExposureBoxMs = 5000;
}

void ShowNoticeBox(const qor::UserNotice& notice) { ShowMessageBox(notice); }

HANDLE InitialiseSensor(const char* deviceName, InitKind kind) {
    EnsureDeviceBackend();
    if (SimulatorMissing()) {
        return Fail<HANDLE>(qor::ErrNoSimulator, nullptr);
    }
    DriverState& state = Driver();
    const qor::DeviceHandle device = qor::OpenDevice(state.port, deviceName);
    if (device == qor::kNoDevice) {
        return Fail<HANDLE>(qor::ErrNoSensor, nullptr);
    }
    if (kind != InitKind::Raw) {
        const auto loader =
            kind == InitKind::Legacy ? qor::CalibrationLoader::Legacy : qor::CalibrationLoader::Standard;
        qor::LoadSensorCalibration(state.port, device, state.calibration, loader, ShowNoticeBox);
        qor::SendSensorParams(state.port, device, state.calibration);
        // The first exposure then finds the enhancement's workers started and its memory
        // faulted in, and is corrected as fast as the later ones.
        qor::PrepareFrameCorrection(state.calibration, AcquisitionServices().correction);
    }
    return ToHandle(device);
}

void CloseSensor(HANDLE device) {
    CancelHandleNotification(ToDevice(device));
    qor::CloseDevice(Driver().port, ToDevice(device));
}

const qor::AcquisitionServices& AcquisitionServices() {
    static const qor::AcquisitionServices services = [] {
        qor::AcquisitionServices s;
        s.exposureThreshold = ReadExposureThreshold;
        s.correction.enhance = QorImageProc1;
        s.correction.runParts = QorRunParts;
        // The only notice of the correction is the under-exposure warning, which closes itself.
        s.correction.notify = [](const qor::UserNotice& notice) {
            ShowSelfClosingMessageBox(notice, kUnderExposureBoxMs);
        };
        return s;
    }();
    return services;
}
