// Exported entry points of the image-processing library: local contrast enhancement of a frame.
// Each sets the floating-point state the enhancement is written for (and restores the caller's),
// and no exception leaves it: a 32-bit caller's frames cannot be unwound through.
#include "imageproc/core/qor_image_proc.h"

#include "common/core/floating_point_guard.h"
#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"
#include "imageproc/core/shared_resources.h"

namespace {

struct PartJob {
    QorPartTask task;
    void* context;
};

void RunPart(void* job, int32_t part, int32_t /*slot*/) {
    const PartJob& j = *static_cast<const PartJob*>(job);
    j.task(j.context, part);
}

} // namespace

extern "C" {

void QOR_STDCALL QorImageProc2(float** grid, int32_t width, int32_t height, int32_t fullScale,
                               int32_t radius, int32_t tileSize, float strength) {
    try {
        const qor::FloatingPointGuard floatingPoint;
        qor::imageproc::EnhanceGrid(grid, width, height, fullScale, radius, tileSize, strength);
    } catch (...) {
    }
}

int32_t QOR_STDCALL QorImageProc1(int32_t* image, int32_t width, int32_t height,
                                  int32_t processFlag) {
    try {
        const qor::FloatingPointGuard floatingPoint;
        return qor::imageproc::EnhanceFrame(image, width, height, processFlag);
    } catch (...) {
        return 0;
    }
}

void QOR_STDCALL QorRunParts(int32_t parts, QorPartTask task, void* context) {
    if (task == nullptr || parts <= 0) {
        return;
    }
    PartJob job{task, context};
    try {
        const qor::FloatingPointGuard floatingPoint;
        qor::imageproc::RunOnPool(parts, &RunPart, &job);
    } catch (...) {
    }
}

} // extern "C"
