// Inversion and 180-degree turn of a frame with 256-bit vectors (only where the processor and
// the system run AVX2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Does what InvertFrame does for the first `done` values, a multiple of 8, and returns `done`.
std::size_t InvertLeadingAvx2(int32_t* frame, std::size_t count);

// Inverts and exchanges value i and value count - 1 - i for the pairs i of [begin, done), whole
// groups of eight, and returns `done`; the caller does the pairs [done, end). end <= count / 2.
std::size_t InvertAndTurnPairsAvx2(int32_t* frame, std::size_t count, std::size_t begin,
                                   std::size_t end);

} // namespace qor
