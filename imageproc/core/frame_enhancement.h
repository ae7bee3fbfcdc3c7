// The adapter from the driver's integer frame to the float enhancement and back to 12 bits.
#pragma once

#include <cstdint>

#include "imageproc/core/kernel_path.h"

namespace qor::imageproc {

// The fixed parameters the driver's frames are enhanced with.
constexpr int32_t kFrameFullScale = 4096;
constexpr int32_t kFrameRadius = 1;
constexpr int32_t kFrameTileSize = 35;
constexpr float kFrameStrength = 409.6f;

// QorImageProc1 with a choice of loops; never throws.
int32_t EnhanceFrame(int32_t* image, int32_t width, int32_t height, int32_t processFlag,
                     KernelPath path = KernelPath::Vector);

} // namespace qor::imageproc
