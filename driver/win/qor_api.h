// The exported interface of Qor.dll: records that cross the boundary and the entry points.
// Callers bind by name or by ordinal (exports.table); both are fixed.
#pragma once

#include <windows.h>

#include <cstdint>

struct HWInfo {
    int32_t width;
    int32_t height;
    int32_t sensorType;
    int32_t imagerId;
};

struct DriverVersion {
    int32_t major;
    int32_t minor;
    int32_t build;
};

#define QOR_API extern "C" __declspec(dllexport)

QOR_API int32_t WINAPI QorFinishExp(HANDLE device);
QOR_API HANDLE WINAPI InitKelvoSystem(const char* deviceName);
QOR_API int32_t WINAPI AcquireImage(HANDLE device, HWND notifyWindow);
QOR_API void WINAPI CancelImage(HANDLE device);
QOR_API int32_t WINAPI GetImagerID();
QOR_API int32_t WINAPI KelvoAcquireImage(HANDLE device);
QOR_API int32_t WINAPI KelvoShutDown(HANDLE device);
QOR_API int32_t WINAPI KelvoFinishExp();
QOR_API DriverVersion* WINAPI GetDriverVersion(DriverVersion* version);
QOR_API int32_t WINAPI GetKelvoError();
QOR_API int32_t WINAPI GetKelvoCapStatus(HANDLE device, int32_t* rawStatus);
QOR_API int32_t WINAPI KelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                       int32_t processFlag);
QOR_API int32_t WINAPI GetKelvoHWInfo(HANDLE device, HWInfo* info);
QOR_API int32_t WINAPI GetLowLevelDriverVer();
QOR_API int32_t WINAPI AcquireTestImage(HANDLE device, int32_t ignored, HWND notifyWindow);
QOR_API int32_t WINAPI KelvoAcquireTestImage(HANDLE device);
QOR_API int32_t WINAPI InitKelvoSensor(HANDLE device);
QOR_API void WINAPI KelvoCleanup();
QOR_API HANDLE WINAPI InitQorSystem(int32_t index);
QOR_API HANDLE WINAPI QorInitSystem(int32_t index);
QOR_API int32_t WINAPI QorAcquireImage(HANDLE device);
QOR_API int32_t WINAPI QorGetCapStatus(HANDLE device, int32_t* status);
QOR_API int32_t WINAPI QorGetImgData(HANDLE device, int32_t* buffer, int32_t bufferBytes);
QOR_API void WINAPI TimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);
QOR_API int32_t WINAPI QorGetHWInfo(HANDLE device, HWInfo* info);
QOR_API int32_t WINAPI QorInitSensor(HANDLE device);
QOR_API int32_t WINAPI QorShutDown(HANDLE device);
QOR_API int32_t WINAPI QorCancelAcquireImage(HANDLE device);
QOR_API DriverVersion* WINAPI QorGetDriverVersion(DriverVersion* version);
QOR_API int32_t WINAPI KelvoInitMcs(HANDLE device, const int32_t* image, int32_t ignored);
QOR_API HANDLE WINAPI KelvoInitRawSystem(const char* deviceName);
QOR_API int32_t WINAPI KelvoInitDemoMcs(int32_t ignored, const int32_t* image, int32_t ignored2);
QOR_API HANDLE WINAPI QorInitRawSystem(int32_t index);
QOR_API int32_t WINAPI NewKelvoGetImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t processFlag);
QOR_API int32_t WINAPI KelvoGetRawImgData(HANDLE device, int32_t bufferBytes, int32_t* buffer,
                                          int32_t ignored);
QOR_API HANDLE WINAPI NewQorInitSystem(int32_t mustBeZero);
QOR_API int32_t WINAPI QorInitEventNotification(HANDLE event);
QOR_API int32_t WINAPI QorGetDeviceStatus(int32_t* status);
QOR_API int32_t WINAPI KelvoReadFlashFile(uint8_t* buffer, int32_t size, int32_t imagerId);
QOR_API int32_t WINAPI readFlashAndWriteToFile(HANDLE device, const char* path);
QOR_API int32_t WINAPI QorSetDemoMode(int32_t on);
