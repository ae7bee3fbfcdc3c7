// The Windows shell's way to the sensor. Without a device backend every open fails, so every
// sensor call answers as for a missing device.
#include "driver/win/sensor_access.h"

#include "driver/win/driver_state.h"

HANDLE InitialiseSensor(const char*, CalibrationLoader, bool) { return nullptr; }

void CloseSensor(HANDLE device) {
    if (!IsNoDevice(device)) {
        CloseHandle(device);
    }
}

int32_t LowLevelDriverVersion() { return -1; }

void FillDeviceStatus(int32_t* status) {
    for (int i = 0; i < 8; ++i) {
        status[i] = 0;
    }
}

int32_t ArmSensor(HANDLE) { return 1; }

int32_t QueryRawStatus(HANDLE, int32_t*) { return 0; }

int32_t ReadCorrectedImage(HANDLE, int32_t, int32_t*, int32_t, bool) { return 0; }

int32_t ReadRawImage(HANDLE, int32_t, int32_t*) { return 0; }

void CancelSensor(HANDLE) {}
