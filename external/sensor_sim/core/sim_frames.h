// What a simulated sensor captures: the seeded phantom exposure seen through its own calibration,
// or its built-in test pattern, as 16-bit samples.
#pragma once

#include <cstdint>
#include <vector>

namespace qor::sim {

// Geometry from a calibration image header (big-endian width at byte 12, height at 16, +500 on
// the width for sensor types 3 and 4). False when it does not describe a frame that fits the
// calibration image.
bool FlashGeometry(const std::vector<uint8_t>& flash, int32_t& width, int32_t& height);

// The raw frame an exposure with `seed` produces: qor::testdata::MakeRawFrame of the flash image,
// each value clamped to the 16-bit sample range. A flash whose header holds no usable geometry
// gives an empty frame (the sensor then delivers zeros).
std::vector<uint16_t> ExposureFrame(const std::vector<uint8_t>& flash, uint32_t seed, bool legacy);

// The test pattern for `pixelCount` samples: 64-pixel squares alternating between two levels with
// a ramp inside each square, rows as wide as the flash geometry says (1201 when it says nothing).
std::vector<uint16_t> TestPatternFrame(const std::vector<uint8_t>& flash, uint32_t pixelCount);

} // namespace qor::sim
