// Exported entry points of the image-processing library: local contrast enhancement of a frame.
#include "imageproc/core/qor_image_proc.h"

#include "imageproc/core/enhance_grid.h"
#include "imageproc/core/frame_enhancement.h"

extern "C" {

void QOR_STDCALL QorImageProc2(float** grid, int32_t width, int32_t height, int32_t fullScale,
                               int32_t radius, int32_t tileSize, float strength) {
    qor::imageproc::EnhanceGrid(grid, width, height, fullScale, radius, tileSize, strength);
}

int32_t QOR_STDCALL QorImageProc1(int32_t* image, int32_t width, int32_t height,
                                  int32_t processFlag) {
    return qor::imageproc::EnhanceFrame(image, width, height, processFlag);
}

} // extern "C"
