// USB transport and the sensor command exchanges.
#include "driver/core/sensor_transport.h"

#include <algorithm>
#include <new>

namespace qor {
namespace {

bool Write(SensorPort& port, DeviceHandle device, Pipe pipe, const uint8_t* data, uint32_t length) {
    return port.io != nullptr && port.io->BulkWrite(device, pipe, data, length);
}

bool Read(SensorPort& port, DeviceHandle device, Pipe pipe, uint8_t* data, uint32_t length) {
    return port.io != nullptr && port.io->BulkRead(device, pipe, data, length);
}

bool SendBlock(SensorPort& port, DeviceHandle device, const CommandBlock& block) {
    return Write(port, device, PipeCommandOut, block.bytes, block.length());
}

} // namespace

void SensorPort::NoteOpened(DeviceHandle handle) {
    std::lock_guard lock(openMutex_);
    open_.push_back(handle);
}

void SensorPort::NoteClosed(DeviceHandle handle) {
    std::lock_guard lock(openMutex_);
    open_.erase(std::remove(open_.begin(), open_.end(), handle), open_.end());
}

DeviceHandle SensorPort::NewestOpenHandle() const {
    std::lock_guard lock(openMutex_);
    return open_.empty() ? kNoDevice : open_.back();
}

std::unique_ptr<uint8_t[]> AllocateWorkingMemory(const SensorPort& port, std::size_t bytes) {
    if (port.hooks.refuseAllocation && port.hooks.refuseAllocation(bytes)) {
        return nullptr;
    }
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]());
}

int32_t EnumerateDevices(SensorPort& port) {
    std::vector<std::string> paths;
    if (port.io == nullptr || !port.io->EnumerateInterfaces(paths)) {
        paths.clear();
    }
    return port.devices.StoreEnumeration(paths);
}

DeviceHandle OpenDevice(SensorPort& port, const char* name) {
    if (name == nullptr || *name == '\0' || port.io == nullptr) {
        return kNoDevice;
    }
    size_t length = 0;
    while (name[length] != '\0') {
        ++length;
    }
    const char last = name[length - 1];
    const int32_t index = last >= '0' && last <= '9' ? last - '0' : 0;
    if (index >= kDeviceSlotCount) {
        return kNoDevice; // 8 and 9 name no entry of the eight
    }
    const std::string path = port.devices.EnumeratedPath(index);
    if (path.empty()) {
        return kNoDevice;
    }
    const DeviceHandle handle = port.io->Open(path);
    if (handle == kNoDevice || handle == kInvalidDevice) {
        return kNoDevice;
    }
    if (port.devices.RecordHandle(handle) && port.hooks.signalDeviceChange) {
        port.hooks.signalDeviceChange();
    }
    if (port.hooks.registerHandleNotification) {
        port.hooks.registerHandleNotification(handle);
    }
    port.NoteOpened(handle);
    SendSimpleCommand(port, handle, SimpleCommand(CmdHello), ReplyLength(CmdHello));
    return handle;
}

void CloseDevice(SensorPort& port, DeviceHandle device) {
    port.NoteClosed(device);
    if (port.io != nullptr && device != kNoDevice && device != kInvalidDevice) {
        port.io->Close(device);
    }
}

bool SendCommand(SensorPort& port, DeviceHandle device, const CommandBlock& block,
                 uint32_t replyLength, uint8_t* reply) {
    uint8_t buffer[kCommandBlockSize] = {};
    replyLength = std::min(replyLength, kCommandBlockSize);
    const bool sent = SendBlock(port, device, block);
    if (!sent && block.type() == CmdGetStatus) {
        return false;
    }
    // Other replies are read even after a failed send, so that the pipes stay in step.
    Read(port, device, PipeReplyIn, buffer, replyLength);
    if (reply != nullptr) {
        std::copy(buffer, buffer + replyLength, reply);
    }
    return sent;
}

int32_t SendSimpleCommand(SensorPort& port, DeviceHandle device, const CommandBlock& block,
                          uint32_t replyLength, uint8_t* reply) {
    const bool sent = SendCommand(port, device, block, replyLength, reply);
    return !sent && block.type() == CmdGetStatus ? 1 : 0;
}

void SendSensorParams(SensorPort& port, DeviceHandle device, const Calibration& calibration) {
    const CalibrationSet& set = calibration.set;
    CommandBlock block = SimpleCommand(CmdSetSensorParams);
    block.bytes[2] = calibration.loaded ? static_cast<uint8_t>(set.sensorSetting) : 205;
    block.bytes[3] = 0;
    block.bytes[4] = set.formatVersion == 1 || set.sensorSetting2 == 0xF400
                         ? 206
                         : static_cast<uint8_t>(set.sensorSetting2);
    block.bytes[5] = 0;
    block.bytes[6] = 1;
    SendSimpleCommand(port, device, block, ReplyLength(CmdSetSensorParams));
}

int32_t QueryCaptureStatus(SensorPort& port, DeviceHandle device, int32_t& status) {
    uint8_t reply[4] = {};
    if (SendSimpleCommand(port, device, SimpleCommand(CmdGetStatus), sizeof reply, reply) != 0) {
        return 1;
    }
    // The status is the last byte the length byte names. Shorter replies carry none, and a
    // length above 4 names a byte that never arrived: both leave the caller's value.
    if (reply[1] == 4) {
        status = reply[3];
    }
    return 0;
}

int32_t ReadImageWindow(SensorPort& port, DeviceHandle device, uint32_t pixelOffset,
                        uint32_t pixelCount, int32_t* destination) {
    if (pixelCount == 0) {
        return 0;
    }
    if (pixelCount > kImageWindowPixels || destination == nullptr || pixelOffset > 0x7FFFFFFF) {
        return 1;
    }
    const uint32_t byteCount = pixelCount * 2;
    const auto staging = AllocateWorkingMemory(port, byteCount);
    if (!staging) {
        return 1;
    }
    uint8_t reply[3] = {};
    const CommandBlock closing = ClosingBlock(CmdReadImage);
    if (!SendBlock(port, device, WindowCommand(CmdReadImage, byteCount, pixelOffset * 2)) ||
        !Read(port, device, PipeReplyIn, reply, sizeof reply) ||
        !Read(port, device, PipeDataIn, staging.get(), byteCount) ||
        !Write(port, device, PipeDataOut, closing.bytes, kClosingBlockLength)) {
        return 1;
    }
    for (uint32_t i = 0; i < pixelCount; ++i) {
        destination[i] =
            static_cast<int32_t>(uint32_t(staging[2 * i]) | uint32_t(staging[2 * i + 1]) << 8);
    }
    return 0;
}

int32_t ReadImagePixels(SensorPort& port, DeviceHandle device, int32_t pixelCount,
                        int32_t* destination) {
    if (pixelCount <= 0) {
        return 0;
    }
    if (destination == nullptr) {
        return 1;
    }
    const auto total = static_cast<uint32_t>(pixelCount);
    for (uint32_t offset = 0; offset < total; offset += kImageWindowPixels) {
        const uint32_t count = std::min(kImageWindowPixels, total - offset);
        if (ReadImageWindow(port, device, offset, count, destination + offset) != 0) {
            return 1;
        }
    }
    return 0;
}

int32_t ReadFlashWindow(SensorPort& port, DeviceHandle device, uint32_t flashOffset,
                        uint32_t byteCount, int32_t* destination) {
    if (byteCount == 0 || byteCount > kFlashWindowBytes || destination == nullptr) {
        return 0;
    }
    const auto staging = AllocateWorkingMemory(port, byteCount);
    if (!staging) {
        return 0; // the window is skipped, the destination left as it was
    }
    uint8_t reply[3] = {};
    const CommandBlock closing = ClosingBlock(CmdReadFlash);
    // Every step runs even after a failure, so that the pipes end the exchange in step.
    SendBlock(port, device, WindowCommand(CmdReadFlash, byteCount, flashOffset));
    Read(port, device, PipeReplyIn, reply, sizeof reply);
    Read(port, device, PipeDataIn, staging.get(), byteCount);
    Write(port, device, PipeDataOut, closing.bytes, kClosingBlockLength);
    for (uint32_t i = 0; i < byteCount; ++i) {
        destination[i] = staging[i];
    }
    return 0;
}

int32_t WriteFlashWindow(SensorPort& port, DeviceHandle device, uint32_t flashOffset,
                         uint32_t byteCount, const int32_t* source) {
    if (byteCount == 0 || byteCount > kFlashWindowBytes || source == nullptr) {
        return 0;
    }
    const auto staging = AllocateWorkingMemory(port, byteCount);
    if (!staging) {
        return 0;
    }
    for (uint32_t i = 0; i < byteCount; ++i) {
        staging[i] = static_cast<uint8_t>(source[i]);
    }
    uint8_t reply[3] = {};
    uint8_t finalReply[kFlashWriteReplyLength] = {};
    SendBlock(port, device, WindowCommand(CmdWriteFlash, byteCount, flashOffset));
    Read(port, device, PipeReplyIn, reply, sizeof reply);
    Write(port, device, PipeDataOut, staging.get(), byteCount);
    Read(port, device, PipeDataIn, finalReply, sizeof finalReply);
    return 0;
}

int32_t GetLowLevelDriverVer(SensorPort& port) {
    const DeviceHandle device = port.NewestOpenHandle();
    if (device == kNoDevice) {
        return -1;
    }
    uint8_t reply[6] = {};
    if (!SendBlock(port, device, SimpleCommand(CmdGetVersion)) ||
        !Read(port, device, PipeReplyIn, reply, sizeof reply) || reply[1] < 4) {
        return -1;
    }
    return reply[3];
}

} // namespace qor
