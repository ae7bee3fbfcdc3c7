// Window functions of the enhancement: the smoothing kernel and the block blending profiles.
#pragma once

#include <cstdint>
#include <vector>

namespace qor::imageproc {

// window(n): a triangle of n entries. Odd n rises in steps of 2/(n+1) to a peak in the middle and
// is normalised to sum 1; even n rises as (k - 0.5)/n and is not normalised. n must be > 0.
std::vector<float> MakeWindow(int32_t n);

// The blending profile of the last blocks in one direction: the first 3 x tileSize entries of
// `window` (which has 4 x tileSize entries), then its falling last quarter stretched linearly over
// the last tile's `lastLength` pixels. Has 3 x tileSize + lastLength entries.
std::vector<float> MakeEdgeProfile(const std::vector<float>& window, int32_t tileSize,
                                   int32_t lastLength);

} // namespace qor::imageproc
