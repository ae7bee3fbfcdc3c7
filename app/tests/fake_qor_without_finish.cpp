// A stand-in driver library with every entry the application calls, but no QorFinishExp.
#include "driver/win/qor_api.h"

QOR_API HANDLE WINAPI QorInitSystem(int32_t) { return reinterpret_cast<HANDLE>(0x51); }
QOR_API int32_t WINAPI QorInitSensor(HANDLE) { return 0; }
QOR_API int32_t WINAPI QorShutDown(HANDLE) { return 1; }
QOR_API int32_t WINAPI QorGetHWInfo(HANDLE, HWInfo* info) {
    *info = HWInfo{640, 480, 2, 7};
    return 1;
}
QOR_API DriverVersion* WINAPI QorGetDriverVersion(DriverVersion* version) { return version; }
QOR_API int32_t WINAPI QorAcquireImage(HANDLE) { return 1; }
QOR_API int32_t WINAPI QorGetCapStatus(HANDLE, int32_t* status) {
    *status = 1;
    return 1;
}
QOR_API int32_t WINAPI QorGetImgData(HANDLE, int32_t*, int32_t) { return 1; }
QOR_API int32_t WINAPI QorCancelAcquireImage(HANDLE) { return 0; }
