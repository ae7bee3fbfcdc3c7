// The adapter from the driver's integer frame to the float enhancement and back to 12 bits.
#include "imageproc/core/frame_enhancement.h"

#include <cstddef>
#include <memory>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/tile_geometry.h"
#include "imageproc/core/work_memory.h"

namespace qor::imageproc {
namespace {

// Frames too small for the enhancement are still brought to the 12-bit range.
void RescaleOnly(int32_t* image, int32_t width, int32_t height, KernelPath path) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    const std::unique_ptr<float[]> values = AllocateWork<float>(count);
    LoadColumns(image, width, height, values.get(), path);
    const float scale = RescaleFactor(LargestValue(values.get(), count));
    StoreRescaled(values.get(), width, height, scale, image, path);
}

} // namespace

int32_t EnhanceFrame(int32_t* image, int32_t width, int32_t height, int32_t processFlag,
                     KernelPath path) {
    if (processFlag != 1) {
        return 0;
    }
    if (image == nullptr || width <= 0 || height <= 0 ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxPixelCount) {
        return 0;
    }
    if (!IsSupportedSize(width, height, kFrameRadius, kFrameTileSize)) {
        try {
            RescaleOnly(image, width, height, path);
            return 1;
        } catch (...) {
            return 0;
        }
    }
    // Only a failed allocation leaves the frame as it came: memory is taken before it is read.
    const EnhanceStatus status = EnhanceFrameGrid(image, width, height, kFrameFullScale,
                                                  kFrameRadius, kFrameTileSize, kFrameStrength, path);
    return status == EnhanceStatus::Enhanced ? 1 : 0;
}

} // namespace qor::imageproc
