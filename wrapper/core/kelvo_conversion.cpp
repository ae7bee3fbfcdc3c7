// The wrapper's conversions.
#include "wrapper/core/kelvo_conversion.h"

namespace kelvo {

void ConvertTo8Bits(const int32_t* frame, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>((frame[i] >> 4) & 0xFF);
    }
}

void ConvertTo16Bits(const int32_t* frame, size_t count, uint16_t* out) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint16_t>(static_cast<uint32_t>(frame[i]) << 4);
    }
}

void FillGreyPalette(uint8_t palette[1024]) {
    for (int i = 0; i < 256; ++i) {
        palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
        palette[4 * i + 3] = 0;
    }
}

uint32_t FrameBytes(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u;
    return bytes <= 0x7FFFFFFFu ? static_cast<uint32_t>(bytes) : 0;
}

Extent PaintExtent(int32_t width, int32_t height, int32_t orientation) {
    switch (orientation) {
    case 4:
    case 5:
    case 7:
    case 8:
        return {height, width};
    default:
        return {width, height};
    }
}

}  // namespace kelvo
