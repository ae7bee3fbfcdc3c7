// How the image is cut into tiles and overlapping 4 x 4-tile blocks, and which sizes are supported.
#include "imageproc/core/tile_geometry.h"

namespace qor::imageproc {

bool IsSupportedSize(int32_t width, int32_t height, int32_t radius, int32_t tileSize) {
    if (tileSize <= 0 || tileSize > INT32_MAX / 4) {
        return false;
    }
    const int32_t blockSize = 4 * tileSize;
    if (width < blockSize || height < blockSize) {
        return false;
    }
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxPixelCount) {
        return false;
    }
    // The smoothing mirrors once about each edge, which reaches no further than the image size.
    return radius >= 0 && radius < width && radius < height;
}

TileGeometry MakeTileGeometry(int32_t width, int32_t height, int32_t tileSize) {
    TileGeometry g;
    g.width = width;
    g.height = height;
    g.tileSize = tileSize;
    g.tilesAcross = width / tileSize;
    g.tilesDown = height / tileSize;
    g.lastWidth = width - (g.tilesAcross - 1) * tileSize;
    g.lastHeight = height - (g.tilesDown - 1) * tileSize;
    g.blockSize = 4 * tileSize;
    return g;
}

} // namespace qor::imageproc
