// Exported entry points of the image-processing library: local contrast enhancement of a frame.
#pragma once

#include <cstdint>

#include "common/core/qor_platform.h"

extern "C" {

// Enhances local contrast of a grid in place: `grid` holds `width` column pointers, each to
// `height` floats (grid[u][v] is column u, row v). The image is split into a smooth and a detail
// part; the smooth part is stretched from the local range measured on tiles of `tileSize` pixels
// onto a range widened by up to `strength` grey levels, the detail is added back and values above
// 4095 are capped.
//
// Supported: grid and every column non-null, tileSize > 0, width and height of at least
// 4 x tileSize, 0 <= radius < min(width, height), width x height below 2^31. Outside that, or
// when working memory cannot be had, the grid is left exactly as it was.
void QOR_STDCALL QorImageProc2(float** grid, int32_t width, int32_t height, int32_t fullScale,
                               int32_t radius, int32_t tileSize, float strength);

// Enhances a row-major frame of 32-bit integers in place with the fixed parameters of the driver
// (full scale 4096, radius 1, tile size 35, strength 409.6) and rescales the result so that the
// brightest pixel becomes 4095 and negative values become 0.
//
// Returns 1 when the frame was rewritten, 0 when it was left unchanged: processFlag other than 1,
// a null image, a non-positive size, width x height of 2^31 or more, or no working memory.
// Frames below 140 pixels in either direction are not enhanced but still rescaled (result 1).
int32_t QOR_STDCALL QorImageProc1(int32_t* image, int32_t width, int32_t height,
                                  int32_t processFlag);

// One part of a job shared by QorRunParts; it must not throw.
typedef void(QOR_STDCALL* QorPartTask)(void* context, int32_t part);

// Runs task(context, part) once for every part 0..parts-1 on the calling thread and the
// enhancement's worker threads, in no set order, and returns when all are done: the driver's
// passes over a frame use the same threads as the enhancement. Every part runs with the
// floating-point state of the enhancement. While another call or an enhancement holds the
// workers, the calling thread runs every part itself.
void QOR_STDCALL QorRunParts(int32_t parts, QorPartTask task, void* context);

} // extern "C"
