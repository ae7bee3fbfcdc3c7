// The frame transfers of grid_transfer.h with 256-bit vectors (only where the processor runs
// AVX2), in squares of eight columns by eight rows.
#pragma once

#include <cstdint>

namespace qor::imageproc {

// columns[u * height + v] = float(image[v * width + u]) for [u0, u1) x [v0, v1).
void LoadSquaresAvx2(const int32_t* image, int32_t width, int32_t height, float* columns,
                     int32_t u0, int32_t u1, int32_t v0, int32_t v1);

// image[v * width + u] = RescalePixel(scale, columns[u * height + v]) for [u0, u1) x [v0, v1),
// Both rectangles must be at least 8 x 8: the last square of a row or column of squares overlaps
// the one before it instead of leaving a ragged edge, so `columns` and `image` must not overlap.
void StoreSquaresAvx2(const float* columns, int32_t width, int32_t height, float scale,
                      int32_t* image, int32_t u0, int32_t u1, int32_t v0, int32_t v1);

} // namespace qor::imageproc
