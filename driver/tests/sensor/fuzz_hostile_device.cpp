// Fuzz target: the driver's sensor path against a hostile device. Enumeration, open results,
// handle values, transfer results and every byte the "sensor" sends come from the input; every
// call must end cleanly, never reading or writing outside its buffers.
#include "driver/core/acquisition.h"
#include "driver/core/calibration_cache.h"
#include "driver/core/device_table.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class HostileDevice : public qor::DeviceIo {
public:
    HostileDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
    bool Bit() { return (Next() & 1) != 0; }

    bool EnumerateInterfaces(std::vector<std::string>& paths) override {
        const int count = Next() % 13;
        for (int i = 0; i < count; ++i) {
            paths.push_back(std::string(Next() + Next(), static_cast<char>('a' + (i % 3))));
        }
        return Bit();
    }
    qor::DeviceHandle Open(const std::string&) override {
        return static_cast<qor::DeviceHandle>(static_cast<int8_t>(Next()));
    }
    void Close(qor::DeviceHandle) override {}
    bool BulkWrite(qor::DeviceHandle, qor::Pipe, const uint8_t* data, uint32_t length) override {
        if (length > 0) {
            sink_ ^= data[0] ^ data[length - 1]; // every byte offered must be readable
        }
        return Bit();
    }
    bool BulkRead(qor::DeviceHandle, qor::Pipe, uint8_t* data, uint32_t length) override {
        // A short transfer fills only part of the area; the rest stays as the host left it.
        const uint32_t filled = Bit() ? length : length / 2;
        for (uint32_t i = 0; i < filled; ++i) {
            data[i] = Next();
        }
        return Bit();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    uint8_t sink_ = 0;
};

// A tiny loaded calibration (20 x 10, format 3) so that the image-data calls correct frames.
const qor::Calibration& TinyCalibration() {
    static qor::Calibration* calibration = [] {
        std::vector<uint8_t> image(qor::kCalibrationImageSize, 0);
        const uint8_t header[20] = {0, 0, 0, 136, 0, 0,  0, 3, 0, 0x20,
                                    0, 1, 0, 0,   0, 20, 0, 0, 0, 10};
        std::copy(header, header + sizeof header, image.begin());
        auto* loaded = new qor::Calibration;
        qor::LoadCalibration(*loaded, image.data(), nullptr);
        return loaded;
    }();
    return *calibration;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HostileDevice device(data, size);
    qor::SensorPort port;
    port.io = &device;
    const int32_t count = qor::EnumerateDevices(port);
    port.devices.ApplyInitialEnumeration(count);
    const char names[][12] = {"mivonusb-0", "mivonusb-7", "mivonusb-9", "x", "mivonusb-13"};
    qor::DeviceHandle h = qor::OpenDevice(port, names[device.Next() % 5]);
    if (h == qor::kNoDevice) {
        h = static_cast<qor::DeviceHandle>(device.Next());
    }

    int32_t status = 7;
    qor::QueryCaptureStatus(port, h, status);
    qor::QorGetCapStatus(port, h, &status);
    qor::GetKelvoCapStatus(port, h, &status);
    qor::GetLowLevelDriverVer(port);
    qor::ReadFlashHeader(port, h);

    std::vector<int32_t> frame(300, -1);
    qor::ReadImagePixels(port, h, static_cast<int32_t>(device.Next()), frame.data());
    qor::ReadFlashWindow(port, h, device.Next(), device.Next(), frame.data());
    qor::WriteFlashWindow(port, h, 0, device.Next(), frame.data());

    qor::AcquisitionServices services;
    const qor::Calibration& calibration = TinyCalibration();
    qor::Arm(port, calibration, h);
    const int32_t bytes = static_cast<int32_t>(device.Next()) * 4 - 100;
    qor::KelvoGetImgData(port, calibration, h, bytes, frame.data(), device.Next() % 3, services);
    qor::NewKelvoGetImgData(port, calibration, h, bytes, frame.data(), 1, services);
    qor::KelvoGetRawImgData(port, h, bytes, frame.data());
    qor::QorCancelAcquireImage(port, h);

    // Arrival and removal events in any order.
    const std::string path(device.Next(), 'a');
    port.devices.ApplyArrival(path, qor::EnumerateDevices(port));
    port.devices.ApplyHandleEvent(h, 0x8000u + device.Next() % 6);
    port.devices.ClearEnumeratedPaths();
    port.devices.ApplyRemoveComplete(qor::EnumerateDevices(port));
    int32_t table[qor::kDeviceSlotCount];
    port.devices.DeviceStatus(table);
    return 0;
}
