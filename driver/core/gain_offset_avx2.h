// The gain and offset correction of one row with 256-bit vectors (only where the processor and
// the system run AVX2).
#pragma once

#include <cstdint>

namespace qor {

// Corrects n pixels in place as GainOffsetPixel does and returns the sum of their raw values.
int64_t GainOffsetRowAvx2(int32_t* row, const float* gain, const float* offset, int32_t n);

} // namespace qor
