// The adapter from the driver's integer frame to the float enhancement and back to 12 bits.
#include "imageproc/core/frame_enhancement.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/grid_transfer.h"
#include "imageproc/core/tile_geometry.h"
#include "imageproc/core/work_memory.h"

namespace qor::imageproc {
namespace {

// memmove onto itself starts the lifetime of objects of another type in the same bytes (and
// compiles to nothing): the frame's buffer holds floats while it serves as the detail store and
// integers again before the result is written.
template <typename T, typename From> T* Reuse(From* storage, size_t count) {
    static_assert(sizeof(T) == sizeof(From));
    return std::launder(static_cast<T*>(std::memmove(storage, storage, count * sizeof(T))));
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
    try {
        const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
        const std::unique_ptr<float[]> values = AllocateWork<float>(count);
        std::vector<float*> columns(static_cast<size_t>(width));
        for (int32_t u = 0; u < width; ++u) {
            columns[u] = values.get() + static_cast<size_t>(u) * static_cast<size_t>(height);
        }
        LoadColumns(image, width, height, values.get(), path);
        // While the grid holds the frame, the frame's own buffer stores the detail: one
        // frame-sized allocation (and its page faults) fewer per call. Frames too small for the
        // enhancement are still brought to the 12-bit range below; only a failed allocation
        // leaves the frame as it came (EnhanceGrid writes the store only once it cannot fail).
        const EnhanceStatus status =
            EnhanceGrid(columns.data(), width, height, kFrameFullScale, kFrameRadius,
                        kFrameTileSize, kFrameStrength, path, Reuse<float>(image, count));
        int32_t* frame = Reuse<int32_t>(image, count);
        if (status == EnhanceStatus::OutOfMemory) {
            return 0;
        }
        const float scale = RescaleFactor(LargestValue(values.get(), count));
        StoreRescaled(values.get(), width, height, scale, frame, path);
        return 1;
    } catch (...) {
        return 0;
    }
}

} // namespace qor::imageproc
