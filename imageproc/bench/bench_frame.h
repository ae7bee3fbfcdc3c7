// The frame both timing programs enhance: a gradient, an edge and some noise in 0..4095.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<int32_t> MakeBenchFrame(int32_t width, int32_t height) {
    std::vector<int32_t> frame(static_cast<size_t>(width) * height);
    uint32_t state = 12345;
    for (int32_t v = 0; v < height; ++v) {
        for (int32_t u = 0; u < width; ++u) {
            state = state * 1664525u + 1013904223u;
            frame[static_cast<size_t>(v) * width + u] =
                500 + u * 2500 / width + (u > width / 3 && v > height / 2 ? 600 : 0) +
                static_cast<int32_t>(state >> 26);
        }
    }
    return frame;
}
