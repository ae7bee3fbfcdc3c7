// Shared shaping of fuzz input: a 2 MiB calibration image and a frame made from arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/core/calibration_record.h"

namespace qor::fuzz {

// The input is the start of the image (header, then table); the rest stays zero. One buffer
// serves every run, so a run costs no 2 MiB allocation.
inline std::vector<uint8_t>& ImageFrom(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> image(kCalibrationImageSize, 0);
    static size_t dirty = 0;
    std::memset(image.data(), 0, dirty);
    dirty = size < image.size() ? size : image.size();
    std::memcpy(image.data(), data, dirty);
    if (dirty < 12) {
        dirty = 12; // the runs below flip a byte of the imager ID
    }
    return image;
}

// A frame of `count` values taken four bytes at a time from the input (any int32 at all).
inline std::vector<int32_t> FrameFrom(const uint8_t* data, size_t size, size_t count) {
    std::vector<int32_t> frame(count, 0);
    if (size >= 4) {
        for (size_t i = 0; i < count; ++i) {
            const size_t at = (4 * i) % (size - 3);
            frame[i] =
                static_cast<int32_t>(uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 |
                                     uint32_t(data[at + 2]) << 16 | uint32_t(data[at + 3]) << 24);
        }
    }
    return frame;
}

// Frames above this size are handed over in a buffer that is too small, to exercise refusal
// (and to keep each run short).
inline constexpr size_t kLargestFuzzFrame = size_t{1} << 16;

} // namespace qor::fuzz
