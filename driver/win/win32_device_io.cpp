// The real way to the sensor through SetupAPI and the kernel driver's control codes.
#include "driver/win/win32_device_io.h"

#include <memory>
#include <new>

bool Win32DeviceIo::EnumerateInterfaces(std::vector<std::string>& paths) {
    paths.clear();
    HDEVINFO list = m_api.getClassDevs(&kSensorInterfaceClass, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool complete = true;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!m_api.enumInterfaces(list, nullptr, &kSensorInterfaceClass, index, &interfaceData)) {
            break;  // no more interfaces
        }
        DWORD required = 0;
        m_api.getInterfaceDetail(list, &interfaceData, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        }
        // Room for one more character, so that a path is terminated even if the driver's is not.
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[required + 1]());
        if (!buffer) {
            complete = false;
            break;
        }
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA deviceData{};
        deviceData.cbSize = sizeof deviceData;
        if (m_api.getInterfaceDetail(list, &interfaceData, detail, required, nullptr,
                                     &deviceData)) {
            paths.emplace_back(detail->DevicePath);
        } else {
            paths.emplace_back();  // counted, as the interface is present, but not openable
        }
    }
    m_api.destroyList(list);
    if (!complete) {
        paths.clear();
    }
    return complete;
}

qor::DeviceHandle Win32DeviceIo::Open(const std::string& path) {
    if (path.empty()) {
        return qor::kNoDevice;
    }
    HANDLE handle = m_api.createFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return qor::kNoDevice;
    }
    return reinterpret_cast<qor::DeviceHandle>(handle);
}

void Win32DeviceIo::Close(qor::DeviceHandle handle) {
    if (handle != qor::kNoDevice && handle != qor::kInvalidDevice) {
        m_api.closeHandle(reinterpret_cast<HANDLE>(handle));
    }
}

bool Win32DeviceIo::Transfer(qor::DeviceHandle handle, DWORD code, qor::Pipe pipe, void* data,
                             uint32_t length) {
    DWORD selector = static_cast<DWORD>(pipe);
    DWORD moved = 0;
    // The driver reports success with exactly TRUE; anything else is a failed transfer.
    return m_api.deviceIoControl(reinterpret_cast<HANDLE>(handle), code, &selector,
                                 sizeof selector, data, length, &moved, nullptr) == TRUE;
}

bool Win32DeviceIo::BulkWrite(qor::DeviceHandle handle, qor::Pipe pipe, const uint8_t* data,
                              uint32_t length) {
    return Transfer(handle, kIoctlBulkWrite, pipe, const_cast<uint8_t*>(data), length);
}

bool Win32DeviceIo::BulkRead(qor::DeviceHandle handle, qor::Pipe pipe, uint8_t* data,
                             uint32_t length) {
    return Transfer(handle, kIoctlBulkRead, pipe, data, length);
}
