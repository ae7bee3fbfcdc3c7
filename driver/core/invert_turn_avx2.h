// Inversion and 180-degree turn of a frame with 256-bit vectors (only where the processor and
// the system run AVX2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Does what InvertFrame does for the first `done` values, a multiple of 8, and returns `done`.
std::size_t InvertLeadingAvx2(int32_t* frame, std::size_t count);

// Does what InvertAndTurnFrame does for the outer `done` values at each end of the frame and
// returns `done`; the middle [done, count - done) is left for the caller.
std::size_t InvertAndTurnOuterAvx2(int32_t* frame, std::size_t count);

} // namespace qor
