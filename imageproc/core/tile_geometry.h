// How the image is cut into tiles and overlapping 4 x 4-tile blocks, and which sizes are supported.
#pragma once

#include <cstdint>

namespace qor::imageproc {

struct TileGeometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t tileSize = 0;
    int32_t tilesAcross = 0; // R = width / tileSize
    int32_t tilesDown = 0;   // Q = height / tileSize
    int32_t lastWidth = 0;   // Lu: the last tile column reaches to the last column
    int32_t lastHeight = 0;  // Lv: the last tile row reaches to the last row
    int32_t blockSize = 0;   // N = 4 x tileSize
};

// True when the enhancement can run on these arguments without reading outside the image:
// at least 4 tiles each way, a smoothing radius below the image size, an addressable pixel count.
bool IsSupportedSize(int32_t width, int32_t height, int32_t radius, int32_t tileSize);

// Only meaningful for supported sizes.
TileGeometry MakeTileGeometry(int32_t width, int32_t height, int32_t tileSize);

// Largest pixel count either entry point accepts (keeps every index within int32_t).
constexpr uint64_t kMaxPixelCount = 0x7FFFFFFFu;

} // namespace qor::imageproc
