// Slow, literal reference of the enhancement, written straight from the algorithm's description.
#pragma once

#include <cstdint>
#include <vector>

namespace qor::imageproc::reference {

// Column-array layout: grid[u][v] is column u, row v.
using Grid = std::vector<std::vector<float>>;

std::vector<float> Window(int32_t n);

// Requires a supported size (at least 4 tiles each way, radius below the image size).
void ImageProc2(Grid& grid, int32_t fullScale, int32_t radius, int32_t tileSize, float strength);

// Frames below 4 tiles skip the enhancement and are only rescaled, as the library does.
int32_t ImageProc1(std::vector<int32_t>& image, int32_t width, int32_t height, int32_t processFlag);

} // namespace qor::imageproc::reference
