// Local darkest and brightest smooth levels per tile, and their extremes over each blending block.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"
#include "imageproc/core/tile_geometry.h"

namespace qor::imageproc {

// Start values: a maximum only rises above 0.0, a minimum only falls below 1e20.
constexpr float kMaxStart = 0.0f;
constexpr float kMinStart = 1e20f;

// Tables indexed [i * tilesDown + j] for tile column i, tile row j; must hold kMaxStart /
// kMinStart before the first column is added.
void AddColumnExtremes(const float* column, int32_t u, const TileGeometry& g, float* tileMax,
                       float* tileMin, KernelPath path);

// Every column at once.
void ComputeTileExtremes(const float* const* columns, const TileGeometry& g, float* tileMax,
                         float* tileMin, KernelPath path);

// Extremes of the blocks in the four groups the accumulation visits.
struct BlockExtremes {
    float* innerMax; // [bi * (tilesDown - 3) + bj], bi <= R-4, bj <= Q-4: tiles bi..bi+3 x bj..bj+3
    float* innerMin;
    float* lastRowsMax; // [bi]: tiles bi..bi+3 x Q-2..Q-1
    float* lastRowsMin;
    float* lastColsMax; // [bj]: tiles R-2..R-1 x bj..bj+3
    float* lastColsMin;
    float cornerMax = kMaxStart; // tiles R-2..R-1 x Q-2..Q-1
    float cornerMin = kMinStart;
};

void ComputeBlockExtremes(const TileGeometry& g, const float* tileMax, const float* tileMin,
                          BlockExtremes& blocks);

} // namespace qor::imageproc
