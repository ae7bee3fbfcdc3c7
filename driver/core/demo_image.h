// Synthetic test patterns that the driver library delivers in demo mode, without a sensor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

inline constexpr int32_t kDemoHandle = 111;
inline constexpr uint32_t kDemoImagerId = 10001000;
inline constexpr int32_t kDemoWidth = 1201;
inline constexpr int32_t kDemoHeight = 861;
inline constexpr size_t kDemoPixelCount = size_t(kDemoWidth) * kDemoHeight;
inline constexpr int32_t kFirstDemoPattern = 4;

// Value of one pixel of a pattern (1: rings, 2: vertical bars, 3: horizontal bars, 4: steps).
int32_t DemoPixel(int32_t pattern, int32_t x, int32_t y);

// Fills kDemoPixelCount values, row-major, first row first.
void FillDemoImage(int32_t pattern, int32_t* image);

// Patterns run 1, 2, 3, 4, 1, ...
inline int32_t NextDemoPattern(int32_t pattern) { return pattern >= 4 ? 1 : pattern + 1; }

}  // namespace qor
