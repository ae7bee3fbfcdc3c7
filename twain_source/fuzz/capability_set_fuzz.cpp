// An application's MSG_SET container, any bytes, against every capability.
#include <cstddef>
#include <cstdint>

#include "twain_source/core/capability_table.h"
#include "twain_source/core/twain_codes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qor::twain::CCapabilityTable table;
    if (size < 4) return 0;
    const uint16_t cap = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const uint16_t conType = data[2] & 7;
    const uint16_t msg = data[3] & 0x40 ? MSG_RESETALL : data[3] % 12;
    const auto protocol = static_cast<qor::twain::AppProtocol>((data[3] >> 4) % 3);
    table.Build(protocol);
    table.Handle(cap, MSG_SET, conType, data + 4, size - 4, protocol);
    table.Handle(cap, msg, conType, data + 4, size - 4, protocol);
    return 0;
}
