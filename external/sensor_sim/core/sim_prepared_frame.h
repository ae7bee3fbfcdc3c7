// The frame of the latest press of the X-ray button, made by the control side at the press.
// A real sensor holds its charge image the moment the exposure ends; the simulator's picture
// takes 70 to 120 ms to compute, and computing it when the driver first polls would count that
// as the driver's latency. The device side takes it only when it was made for the same press
// and the same flash contents; otherwise it computes the frame itself, with the same result.
//   <name>/exposure.frame: "qorsim-frame 1" in 16 bytes, then (little-endian) count u64, seed u32,
//   legacy u32, flash digest u64, sample count u32, the samples u16 each.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace qor::sim {

struct PreparedFrame {
    uint64_t count = 0; // the exposure count it belongs to
    uint32_t seed = 0;
    bool legacy = false;
    uint64_t flashDigest = 0; // FlashDigest of the flash it was made from
    std::vector<uint16_t> samples;
};

// A digest of the flash contents; the same value on every build.
uint64_t FlashDigest(const std::vector<uint8_t>& flash);

std::vector<uint8_t> EncodePreparedFrame(const PreparedFrame& frame);
// False for anything that is not a whole, well-formed frame of at most the frame memory's size.
bool ParsePreparedFrame(const std::vector<uint8_t>& bytes, PreparedFrame& frame);

bool WritePreparedFrame(const std::filesystem::path& folder, const PreparedFrame& frame);
bool ReadPreparedFrame(const std::filesystem::path& folder, PreparedFrame& frame);

} // namespace qor::sim
