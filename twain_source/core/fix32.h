// TW_FIX32 (16-bit whole part, 16-bit fraction) against the float the source keeps.
#pragma once
#include <cstdint>

namespace qor::twain {

struct Fix32 {
    int16_t Whole = 0;
    uint16_t Frac = 0;
};

// Rounded to the nearest 1/65536: n = trunc(value x 65536 + 0.5), split into its two halves.
Fix32 ToFix32(float value);
float FromFix32(Fix32 fix);

}  // namespace qor::twain
