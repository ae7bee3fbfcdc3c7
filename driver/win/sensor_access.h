// The Windows shell's way to the sensor: initialisation, shutdown and the acquisition calls,
// on top of the portable transport and the chosen device backend.
#pragma once

#include <windows.h>

#include <cstdint>

enum class CalibrationLoader { None, Current, Legacy };

// Opens the named sensor, loads its calibration with the chosen loader and sends the settings.
HANDLE InitialiseSensor(const char* deviceName, CalibrationLoader loader, bool sendSettings);
void CloseSensor(HANDLE device);
int32_t LowLevelDriverVersion();
void FillDeviceStatus(int32_t* status);

// Polled acquisition; handle checks are done by the exports.
int32_t ArmSensor(HANDLE device);
// 0 when the status command could not be sent; else 1 with the raw status byte in *rawStatus
// (left as it was when the reply carries none).
int32_t QueryRawStatus(HANDLE device, int32_t* rawStatus);
int32_t ReadCorrectedImage(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                           int32_t processFlag, bool legacy);
int32_t ReadRawImage(HANDLE device, int32_t bufferBytes, int32_t* buffer);
void CancelSensor(HANDLE device);
