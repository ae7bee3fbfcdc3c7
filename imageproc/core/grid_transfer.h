// Moves a frame between the caller's row-major integers and the enhancement's column grid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageproc/core/kernel_path.h"

namespace qor::imageproc {

// The grid and the frame never share memory (the 256-bit loops write some values twice).

// columns[u * height + v] = float(image[v * width + u]).
void LoadColumns(const int32_t* image, int32_t width, int32_t height, float* columns,
                 KernelPath path);
// Columns [uBegin, uEnd) only.
void LoadColumns(const int32_t* image, int32_t width, int32_t height, float* columns,
                 KernelPath path, int32_t uBegin, int32_t uEnd);

// The largest value, starting from 0.0: never negative, and a NaN never counts.
float LargestValue(const float* values, size_t count);

// 4095 / max rounded to float; +inf when max is 0.
float RescaleFactor(float max);

// image[v * width + u] = trunc(scale x columns[u * height + v]) in double, 0 for negative
// results. Results the factor cannot produce from a finite maximum (NaN from an infinite factor
// times 0, 4096 and above from an infinite factor) become 0 and 4095, so that a frame whose
// maximum is 0 or denormal still comes out as 12-bit values.
void StoreRescaled(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                   KernelPath path);
// Columns [uBegin, uEnd) only.
void StoreRescaled(const float* columns, int32_t width, int32_t height, float scale, int32_t* image,
                   KernelPath path, int32_t uBegin, int32_t uEnd);

} // namespace qor::imageproc
