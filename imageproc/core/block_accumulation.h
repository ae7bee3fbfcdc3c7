// Blends the block extremes over the image and maps every pixel through the tone curve.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"
#include "imageproc/core/tile_extremes.h"
#include "imageproc/core/tile_geometry.h"
#include "imageproc/core/tone_curve.h"

namespace qor::imageproc {

struct Band;

struct BlendProfiles {
    const float* window; // Y = window(N), weights of inner block rows and columns
    const float* edgeU;  // Pu, weights of the columns of the last-column blocks
    const float* edgeV;  // Pv, weights of the rows of the last-row blocks
};

// For every pixel: MaxAcc, MinAcc and WAcc summed over the blocks that cover it, in block order
// (inner blocks with bi outer and bj inner, then last-row, last-column and corner blocks), each
// sum rounded to float; Mx = MaxAcc / WAcc, Mn = MinAcc / WAcc; then the tone curve, written
// over the smooth value in `columns`. `detail` is column-major with stride height.
//
// The accumulators never leave registers: each pixel's whole ordered sum is formed at once, which
// keeps the result bit-identical to visiting the blocks one after another. This form takes memory
// for its bands (std::bad_alloc when there is none); the enhancement lends its own to the next.
void AccumulateAndMap(float* const* columns, const float* detail, const TileGeometry& g,
                      const BlendProfiles& profiles, const BlockExtremes& blocks,
                      const ToneCurve& curve, KernelPath path);

// The same for columns [uBegin, uEnd) only: each column's pixels depend on nothing written for
// other columns, so column ranges may be done by different threads. `bandCache` is room for
// BandsDown(g) bands used by one thread at a time: the blocks of a band are collected once per
// tile column instead of once per column.
void AccumulateAndMap(float* const* columns, const float* detail, const TileGeometry& g,
                      const BlendProfiles& profiles, const BlockExtremes& blocks,
                      const ToneCurve& curve, KernelPath path, int32_t uBegin, int32_t uEnd,
                      Band* bandCache);

// Bands of tileSize rows (the last one shorter) down the image.
int32_t BandsDown(const TileGeometry& g);

} // namespace qor::imageproc
