// The sensor command set as the driver library sends it: control codes, pipe use, command types
// with their block and reply lengths, and the 64-byte command block.
#pragma once

#include "driver/core/device_io.h"

#include <cstdint>
#include <cstring>

namespace qor {

// Control codes of the kernel driver (device type 0x22, any access, direct I/O).
inline constexpr uint32_t IoctlBulkWrite = 0x222051; // function 0x814, host to sensor
inline constexpr uint32_t IoctlBulkRead = 0x22204E;  // function 0x813, sensor to host

// Interface class of the sensors.
inline constexpr char kSensorInterfaceClass[] = "{D1F7BE01-E9E2-43C4-B723-A2C5519E4E6F}";

inline constexpr Pipe PipeReplyIn = Pipe::ReplyIn;
inline constexpr Pipe PipeCommandOut = Pipe::CommandOut;
inline constexpr Pipe PipeDataIn = Pipe::DataIn;
inline constexpr Pipe PipeDataOut = Pipe::DataOut;

enum CommandType : uint8_t {
    CmdHello = 1,
    CmdGetVersion = 2,
    CmdSetSensorParams = 3,
    CmdTestImage = 5,
    CmdArm = 6,
    CmdCancel = 8,
    CmdReadImage = 11,
    CmdGetStatus = 12,
    CmdWriteFlash = 13,
    CmdReadFlash = 14,
};

// Block length (2 + payload) and the number of reply bytes read on PipeReplyIn.
inline constexpr uint8_t CommandLength(CommandType type) {
    switch (type) {
    case CmdSetSensorParams:
        return 7;
    case CmdArm:
        return 6;
    case CmdReadImage:
    case CmdWriteFlash:
    case CmdReadFlash:
        return 10;
    default:
        return 2;
    }
}
inline constexpr uint32_t ReplyLength(CommandType type) {
    switch (type) {
    case CmdGetVersion:
        return 6;
    case CmdGetStatus:
        return 4;
    default:
        return 3;
    }
}

inline constexpr uint32_t kCommandBlockSize = 64;
inline constexpr uint32_t kClosingBlockLength = 3;
inline constexpr uint32_t kFlashWriteReplyLength = 3;
inline constexpr uint32_t kImageWindowPixels = 16384; // 32768 bytes of 16-bit samples
inline constexpr uint32_t kFlashWindowBytes = 32768;
inline constexpr uint32_t kFlashBytes = 0x200000;
inline constexpr uint32_t kFlashWindowCount = kFlashBytes / kFlashWindowBytes; // 64

// Byte 0 type, byte 1 length, payload from byte 2 (little-endian), zeros after the arguments.
// Only the first `length` bytes go on the wire.
struct CommandBlock {
    uint8_t bytes[kCommandBlockSize] = {};

    CommandBlock() = default;
    CommandBlock(CommandType type, uint8_t length) {
        bytes[0] = type;
        bytes[1] = length;
    }
    uint8_t type() const { return bytes[0]; }
    uint8_t length() const { return bytes[1]; }
    void Put32(uint32_t at, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
};

// A command without payload, with its table length.
inline CommandBlock SimpleCommand(CommandType type) {
    return CommandBlock(type, CommandLength(type));
}
// CmdReadImage, CmdReadFlash, CmdWriteFlash: byte count and byte offset.
inline CommandBlock WindowCommand(CommandType type, uint32_t byteCount, uint32_t byteOffset) {
    CommandBlock block(type, CommandLength(type));
    block.Put32(2, byteCount);
    block.Put32(6, byteOffset);
    return block;
}
// The block that ends the data phase of an image or flash read: type, length 3, payload 0.
inline CommandBlock ClosingBlock(CommandType type) {
    return CommandBlock(type, kClosingBlockLength);
}

} // namespace qor
