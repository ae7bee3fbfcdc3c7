// The real way to the sensor: SetupAPI enumeration of the sensor interface class, CreateFile on
// the interface path, and the kernel driver's two bulk transfer control codes.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "driver/core/device_io.h"

// The Win32 calls the backend makes, so that tests can put fakes in their place.
struct Win32DeviceApi {
    decltype(&SetupDiGetClassDevsA) getClassDevs = SetupDiGetClassDevsA;
    decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = SetupDiEnumDeviceInterfaces;
    decltype(&SetupDiGetDeviceInterfaceDetailA) getInterfaceDetail =
        SetupDiGetDeviceInterfaceDetailA;
    decltype(&SetupDiDestroyDeviceInfoList) destroyList = SetupDiDestroyDeviceInfoList;
    decltype(&CreateFileA) createFile = CreateFileA;
    decltype(&DeviceIoControl) deviceIoControl = DeviceIoControl;
    decltype(&CloseHandle) closeHandle = CloseHandle;
};

// {D1F7BE01-E9E2-43C4-B723-A2C5519E4E6F}
inline constexpr GUID kSensorInterfaceClass = {
    0xD1F7BE01, 0xE9E2, 0x43C4, {0xB7, 0x23, 0xA2, 0xC5, 0x51, 0x9E, 0x4E, 0x6F}};
inline constexpr DWORD kIoctlBulkWrite = 0x222051;
inline constexpr DWORD kIoctlBulkRead = 0x22204E;

class Win32DeviceIo : public qor::DeviceIo {
public:
    explicit Win32DeviceIo(const Win32DeviceApi& api = Win32DeviceApi{}) : m_api(api) {}

    bool EnumerateInterfaces(std::vector<std::string>& paths) override;
    qor::DeviceHandle Open(const std::string& path) override;
    void Close(qor::DeviceHandle handle) override;
    bool BulkWrite(qor::DeviceHandle handle, qor::Pipe pipe, const uint8_t* data,
                   uint32_t length) override;
    bool BulkRead(qor::DeviceHandle handle, qor::Pipe pipe, uint8_t* data,
                  uint32_t length) override;

private:
    bool Transfer(qor::DeviceHandle handle, DWORD code, qor::Pipe pipe, void* data,
                  uint32_t length);
    Win32DeviceApi m_api;
};
