// Fuzz target: the header parse and PeekImagerId on arbitrary header bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/core/calibration_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t header[qor::kCalibrationHeaderSize] = {};
    std::memcpy(header, data, size < sizeof(header) ? size : sizeof(header));
    const qor::CalibrationHeader parsed = qor::ParseCalibrationHeader(header);
    const uint32_t id = qor::PeekImagerId(header);
    // The identity is the header's own word exactly when the format is 2 or more.
    const bool formatTwoOrMore = static_cast<int32_t>(parsed.words[1]) >= 2;
    if (parsed.words[0] != 136 || id != (formatTwoOrMore ? parsed.words[2] : 0u)) {
        __builtin_trap();
    }
    return 0;
}
