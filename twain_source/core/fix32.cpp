#include "twain_source/core/fix32.h"

#include <cmath>

namespace qor::twain {

Fix32 ToFix32(float value) {
    const double scaled = static_cast<double>(value) * 65536.0 + 0.5;
    // Out-of-range numbers saturate instead of overflowing the conversion.
    const double clamped = std::fmax(-2147483648.0, std::fmin(2147483647.0, scaled));
    const auto n = static_cast<uint32_t>(static_cast<int32_t>(clamped));
    return Fix32{static_cast<int16_t>(static_cast<uint16_t>(n >> 16)),
                 static_cast<uint16_t>(n & 0xFFFFu)};
}

float FromFix32(Fix32 fix) {
    return static_cast<float>(static_cast<double>(fix.Whole) + static_cast<double>(fix.Frac) / 65536.0);
}

}  // namespace qor::twain
