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
    // Every wrapper but QorInitSystem and QorShutDown: an open handle and `ready` (entry and
    // pointers present) or the "invalid" line; then the call, whose 0 gives the "failed" line.
    template <typename Invoke>
    int Call(bool ready, const char* invalidLine, const char* failedLine, Invoke invoke);

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

#include "common/core/log_file.h"

template <typename Invoke>
int CQor::Call(bool ready, const char* invalidLine, const char* failedLine, Invoke invoke) {
    if (m_hQORDevice == nullptr || !ready) {
        TheLogFile().Write(LOG_FATAL, invalidLine);
        return 0;
    }
    const int result = invoke();
    if (result == 0) {
        TheLogFile().Write(LOG_FATAL, failedLine);
    }
    return result;
}
