// An application's MSG_SET container, any bytes, against every capability.
#include <cstddef>
#include <cstdint>

#include "twain_source/core/capability_table.h"
#include "twain_source/core/twain_codes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qor::twain::CCapabilityTable table;
    table.Build();
    if (size < 4) return 0;
    const uint16_t cap = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const uint16_t conType = data[2] & 7;
    const uint16_t msg = data[3] % 10;
    table.Handle(cap, MSG_SET, conType, data + 4, size - 4, (data[3] & 0x80) != 0);
    table.Handle(cap, msg, conType, data + 4, size - 4, false);
    return 0;
}
