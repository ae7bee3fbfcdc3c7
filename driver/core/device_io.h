// The one narrow door between the driver library and a sensor: interface enumeration, opening
// by path, and the two bulk transfer control codes with their 4-byte pipe selector. The Win32
// backend talks to the kernel driver; the simulator backend to the simulated sensor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {

// A kernel-driver handle as the caller sees it (32 bits in the shipped build). 0 and -1 mean none.
using DeviceHandle = intptr_t;
inline constexpr DeviceHandle kNoDevice = 0;
inline constexpr DeviceHandle kInvalidDevice = -1;

enum class Pipe : uint32_t { ReplyIn = 0, CommandOut = 1, DataIn = 2, DataOut = 3 };

class DeviceIo {
public:
    virtual ~DeviceIo() = default;
    // Paths of the sensor interfaces present now, in enumeration order.
    // Returns false when the device information set could not be obtained or a detail could not
    // be allocated (the caller then counts 0).
    virtual bool EnumerateInterfaces(std::vector<std::string>& paths) = 0;
    // Opens an interface path for writing with write sharing; kNoDevice on failure.
    virtual DeviceHandle Open(const std::string& path) = 0;
    virtual void Close(DeviceHandle handle) = 0;
    // Bulk write (host to sensor) and bulk read (sensor to host) of exactly `length` bytes on a
    // pipe; true only when the control call succeeded.
    virtual bool BulkWrite(DeviceHandle handle, Pipe pipe, const uint8_t* data, uint32_t length) = 0;
    virtual bool BulkRead(DeviceHandle handle, Pipe pipe, uint8_t* data, uint32_t length) = 0;
};

}  // namespace qor
