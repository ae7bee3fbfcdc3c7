// The local contrast enhancement on a column grid, with its outcome for the adapter.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"

namespace qor::imageproc {

enum class EnhanceStatus {
    Enhanced,    // the grid holds the enhanced image
    Unsupported, // arguments outside the supported range: grid untouched
    OutOfMemory, // no working memory: grid untouched
};

// QorImageProc2 with its outcome; never throws. `detailStore`, when given, is width x height
// floats the call may use instead of allocating its own (written only once the call cannot fail).
EnhanceStatus EnhanceGrid(float* const* grid, int32_t width, int32_t height, int32_t fullScale,
                          int32_t radius, int32_t tileSize, float strength,
                          KernelPath path = KernelPath::Vector, float* detailStore = nullptr);

// The whole road of a row-major integer frame: loaded into a float grid, enhanced, and written
// back into `frame` as trunc(scale x value) clamped to 0..4095, with scale = 4095 / the largest
// enhanced value (see StoreRescaled). Unsupported sizes and a lack of memory leave the frame as
// it was. Never throws.
EnhanceStatus EnhanceFrameGrid(int32_t* frame, int32_t width, int32_t height, int32_t fullScale,
                               int32_t radius, int32_t tileSize, float strength,
                               KernelPath path = KernelPath::Vector);

} // namespace qor::imageproc
