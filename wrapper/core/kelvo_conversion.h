// The wrapper's conversions of a corrected frame (32-bit values 0..4095) into the pixel rows of
// an 8-bit or 16-bit grey toolkit bitmap, and the geometry checks around them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

// byte = (value >> 4) & 0xFF: 0..4095 becomes 0..255.
void ConvertTo8Bits(const int32_t* frame, size_t count, uint8_t* out);
// word = low 16 bits of (value << 4): 0..4095 becomes 0..65520.
void ConvertTo16Bits(const int32_t* frame, size_t count, uint16_t* out);
// 256 entries of blue, green, red, 0 with entry i = i.
void FillGreyPalette(uint8_t palette[1024]);

// The frame's size in bytes (4 per pixel) when the driver's geometry is usable: both sides
// positive and the whole frame addressable as the image-data call's 32-bit byte count; else 0.
uint32_t FrameBytes(int32_t width, int32_t height);

struct Extent {
    int32_t width;
    int32_t height;
};
// The painted size of a bitmap: orientation codes 4, 5, 7 and 8 store it turned, so its sides
// are exchanged.
Extent PaintExtent(int32_t width, int32_t height, int32_t orientation);

}  // namespace kelvo
