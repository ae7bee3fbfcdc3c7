// Exported entry points of the image-processing library: local contrast enhancement of a frame.
// Each sets the floating-point state the enhancement is written for (and restores the caller's),
// and no exception leaves it: a 32-bit caller's frames cannot be unwound through.
#include "imageproc/core/qor_image_proc.h"

#include "common/core/floating_point_guard.h"
#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"

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

} // extern "C"
