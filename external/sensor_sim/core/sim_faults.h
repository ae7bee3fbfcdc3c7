// Faults a test can inject into a simulated sensor: a failed transfer at any step of any command,
// short replies, a wrong length byte, and an unplug in the middle of an exchange.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::sim {

// The transfers of one exchange, in wire order.
enum class FaultStep : uint8_t {
    Command = 0, // the command block on CommandOut
    Reply = 1,   // the reply on ReplyIn
    Data = 2,    // the bulk data phase (DataIn or DataOut)
    Closing = 3, // the closing block on DataOut, or the final reply of a flash write on DataIn
};

enum class FaultKind : uint8_t {
    FailTransfer = 0,   // the control call fails; a lost read still moves the sensor on
    ShortReply = 1,     // a read delivers fewer bytes; a reply's length byte says so
    LongLengthByte = 2, // a reply's length byte names one byte more than was sent
    Unplug = 3,         // the sensor is pulled out: this and every later transfer fails
    Pause = 4,          // the transfer stalls until the control side releases it, then goes on
                        // as if nothing happened (a slow read, or a moment to kill the host at)
};

struct InjectedFault {
    uint8_t command = 0; // command type it applies to; 0 for any command
    FaultStep step = FaultStep::Command;
    FaultKind kind = FaultKind::FailTransfer;
    int32_t skip = 0;  // matching transfers let through before it fires
    int32_t count = 1; // times it fires; negative for every time
};

// Text form used by the state file and the control tool: "command:step:kind[:skip[:count]]",
// e.g. "12:0:0" (a status command block that cannot be sent) or "11:2:3:10" (unplug during the
// eleventh image data phase). Steps and kinds may also be given by name (command, reply, data,
// closing; fail, short, long, unplug, pause).
std::string FormatFault(const InjectedFault& fault);
std::optional<InjectedFault> ParseFault(const std::string& text);

} // namespace qor::sim
