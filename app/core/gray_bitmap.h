// The 8-bit grey bitmap file images of the store, the pipe and the data source: 14-byte file
// header, 40-byte information header, 256-entry grey palette (1078 bytes together), bottom-up
// rows padded to 4 bytes. Bitmaps are std::malloc'd; the caller frees them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/core/image_record.h"

inline constexpr int32_t kBitmapHeaderBytes = 1078;
inline constexpr int32_t kThumbnailWidth = 120;
inline constexpr int32_t kThumbnailHeight = 86;
inline constexpr int32_t kThumbnailBytes = kBitmapHeaderBytes + kThumbnailWidth * kThumbnailHeight;

// Row stride of an 8-bit bitmap: the width rounded up to a multiple of 4.
inline int64_t GrayRowStride(int64_t width) {
    return (width + 3) / 4 * 4;
}

// Entry i of the 256 four-byte entries: blue = green = red = i, then 0. 0 for a null pointer.
int SetGrayPalette(uint8_t* palette);

// 1 when the count bytes are exactly one bitmap file image of the form above.
int IsValidGray8Bitmap(const uint8_t* bytes, size_t count);

// Converts corrected pixels (0..4095, first row first) into a new bitmap: each value times
// 255/4095, truncated. Values outside 0..4095 are clamped. A negative height is taken as its
// magnitude. 1 with *outBitmap set and outRecord->nImageSize = its size; 0 for missing pointers,
// width <= 0, height 0, more pixels than capacity, a bitmap above 2 GiB or no memory.
int MakeGray8Bitmap(const int32_t* pixels, int32_t capacity, int32_t width, int32_t height,
                    uint8_t** outBitmap, ImageDataStruct* outRecord);

// A new 120 x 86 thumbnail (11398 bytes) sampling every (width/120)-th column and every
// (height/86)-th row. The source is trusted for the byte count in its file size field, which
// must cover its rows. 0 for missing pointers, not 8 bits per pixel, width <= 0, height 0,
// a file size field too small for the rows, or no memory.
int MakeThumbnail(const uint8_t* bitmap, uint8_t** outThumbnail, int32_t* outSize);
