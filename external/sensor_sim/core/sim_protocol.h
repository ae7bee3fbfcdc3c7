// The sensor's side of the wire: command types, block and reply sizes, and memory limits as the
// sensor firmware sees them. Kept apart from the driver's own table on purpose, so that a wrong
// value on either side shows up as a rejected transfer.
#pragma once

#include <cstdint>

namespace qor::sim {

inline constexpr uint32_t kFlashBytes = 0x200000;       // 2 MiB flash
inline constexpr uint32_t kFrameMemoryBytes = 0x200000; // frame memory: 1048576 samples
inline constexpr uint32_t kMaxDataPhaseBytes = 32768;   // largest bulk data phase accepted
inline constexpr uint32_t kClosingBlockBytes = 3;

enum class Command : uint8_t {
    Hello = 1,
    GetVersion = 2,
    SetSensorParams = 3,
    TestImage = 5,
    Arm = 6,
    Cancel = 8,
    ReadImage = 11,
    GetStatus = 12,
    WriteFlash = 13,
    ReadFlash = 14,
};

// What follows the reply of a command.
enum class DataPhase : uint8_t {
    None,
    ToHostThenClosing, // data on DataIn, then a closing block on DataOut
    FromHostThenReply, // data on DataOut, then a final reply on DataIn
};

struct CommandShape {
    uint8_t blockLength; // bytes of the command block on the wire (length byte)
    uint8_t replyLength; // bytes of the reply on ReplyIn
    DataPhase phase;
};

// Shape of a command type; false for a type the sensor does not know.
inline bool LookupCommand(uint8_t type, CommandShape& shape) {
    switch (static_cast<Command>(type)) {
    case Command::Hello:
    case Command::Cancel:
    case Command::TestImage:
        shape = {2, 3, DataPhase::None};
        return true;
    case Command::GetVersion:
        shape = {2, 6, DataPhase::None};
        return true;
    case Command::SetSensorParams:
        shape = {7, 3, DataPhase::None};
        return true;
    case Command::Arm:
        shape = {6, 3, DataPhase::None};
        return true;
    case Command::GetStatus:
        shape = {2, 4, DataPhase::None};
        return true;
    case Command::ReadImage:
    case Command::ReadFlash:
        shape = {10, 3, DataPhase::ToHostThenClosing};
        return true;
    case Command::WriteFlash:
        shape = {10, 3, DataPhase::FromHostThenReply};
        return true;
    }
    return false;
}

} // namespace qor::sim
