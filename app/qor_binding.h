// CQor: binds Qor.dll at run time and wraps the ten entry points the application uses, each
// with its precondition check and its log line.
#pragma once

#include <windows.h>

#include <cstdint>

struct HWInfo;
struct DriverVersion;

class CQor {
public:
    CQor() = default;
    ~CQor();
    CQor(const CQor&) = delete;
    CQor& operator=(const CQor&) = delete;

    // 1 when "Qor.dll" loaded and all ten names resolved.
    int Initialize();
    int QorInitSystem();
    int QorInitSensor();
    int QorShutDown();
    int QorGetHWInfo(HWInfo* info);
    int QorGetDriverVersion(DriverVersion* version);
    int QorAcquireImage();
    int QorGetCapStatus(int32_t* status);
    int QorGetImgData(int32_t* buffer, int bytes);
    int QorCancelAcquireImage();

    HMODULE Library() const { return m_hLibrary; }
    HANDLE Device() const { return m_hQORDevice; }

private:
    using InitSystemFn = HANDLE(WINAPI*)(int32_t);
    using DeviceFn = int32_t(WINAPI*)(HANDLE);
    using HWInfoFn = int32_t(WINAPI*)(HANDLE, HWInfo*);
    using DriverVersionFn = DriverVersion*(WINAPI*)(DriverVersion*);
    using CapStatusFn = int32_t(WINAPI*)(HANDLE, int32_t*);
    using ImgDataFn = int32_t(WINAPI*)(HANDLE, int32_t*, int32_t);

    HMODULE m_hLibrary = nullptr;
    HANDLE m_hQORDevice = nullptr;
    InitSystemFn m_pQorInitSystem = nullptr;
    DeviceFn m_pQorInitSensor = nullptr;
    DeviceFn m_pQorShutDown = nullptr;
    HWInfoFn m_pQorGetHWInfo = nullptr;
    DriverVersionFn m_pQorGetDriverVersion = nullptr;
    DeviceFn m_pQorAcquireImage = nullptr;
    CapStatusFn m_pQorGetCapStatus = nullptr;
    ImgDataFn m_pQorGetImgData = nullptr;
    DeviceFn m_pQorCancelAcquireImage = nullptr;
    DeviceFn m_pQorFinishExp = nullptr;
};
