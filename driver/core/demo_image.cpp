// Synthetic test patterns of demo mode.
#include "driver/core/demo_image.h"

#include <cmath>

namespace qor {

namespace {

// Concentric rings around the image centre. The 0.05 is a single-precision constant by design;
// the rest is evaluated in double.
int32_t RingPixel(int32_t x, int32_t y) {
    constexpr float kRingFrequency = 0.05f;
    const double dy = 430.5 - y;
    const double dx = 600.5 - x;
    const double d = std::sqrt(dy * dy + dx * dx);
    return static_cast<int32_t>((std::sin(d * double(kRingFrequency)) + 1.0) * 2047.5);
}

}  // namespace

int32_t DemoPixel(int32_t pattern, int32_t x, int32_t y) {
    switch (pattern) {
    case 1:
        return RingPixel(x, y);
    case 2:
        return (x & 0xFF) > 128 ? 4095 : 0;
    case 3:
        return (y & 0xFF) > 128 ? 4095 : 0;
    default:
        return (y / 216) * 4095 / 3;
    }
}

void FillDemoImage(int32_t pattern, int32_t* image) {
    for (int32_t y = 0; y < kDemoHeight; ++y) {
        int32_t* row = image + size_t(y) * kDemoWidth;
        for (int32_t x = 0; x < kDemoWidth; ++x) {
            row[x] = DemoPixel(pattern, x, y);
        }
    }
}

}  // namespace qor
