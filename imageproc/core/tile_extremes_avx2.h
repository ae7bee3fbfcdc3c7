// The tile extremes of a column segment with 256-bit vectors (only where the processor runs
// AVX2).
#pragma once

#include <cstdint>

namespace qor::imageproc {

// Raises hi to and lowers lo to the values [begin, end) of the segment, end - begin >= 8, with
// the rule of the scalar loop: only a greater (smaller) value replaces, a NaN never does.
void SegmentExtremesAvx2(const float* values, int32_t begin, int32_t end, float& hi, float& lo);

} // namespace qor::imageproc
