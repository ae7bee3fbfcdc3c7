// The two passes of the smoothing with 256-bit vectors (only where the processor runs AVX2):
// each does whole groups of eight rows from row 0 and returns how many rows it did; the caller's
// loops do the rest with the same operations.
#pragma once

#include <cstdint>

namespace qor::imageproc {

// out[v] = sum over k of sources[k][v] x kernel[k], in double, rounded to float.
int32_t FilterAcrossAvx2(const float* const* sources, const float* kernel, int32_t taps,
                         int32_t height, float* out);

// S = sum over k of padded[v + k] x kernel[k]; detail[v] = grid[v] - S, grid[v] = S.
int32_t FilterDownAvx2(const float* padded, const float* kernel, int32_t taps, int32_t height,
                       float* grid, float* detail);

} // namespace qor::imageproc
