// Generated test data: calibration images as a sensor's flash holds them, and raw frames of an
// X-ray phantom as that sensor would deliver them. Deterministic for a given seed.
#pragma once

#include <cstdint>
#include <vector>

namespace qor::testdata {

struct CalibrationParams {
    int formatVersion = 3;          // 1..4; legacy images use 2 (read by the legacy loader)
    bool legacy = false;            // per-pixel levels in the legacy reading
    uint32_t imagerId = 0x00200123; // sensor type in bits 20..23
    int headerWidth = 1201;         // as stored in the header (types 3 and 4 store width - 500)
    int height = 861;
    std::vector<int32_t> badRows;
    std::vector<int32_t> badColumns;
    std::vector<int32_t> columnCorrections; // legacy: added to badColumns[k] (entries k+5)
    int defectPixels = 20;
    uint16_t gainReference = 3160;
    int32_t sensorSetting = 0x5A;
    int32_t sensorSetting2 = 0xF400;
    uint32_t seed = 1;
};

// A 2 MiB calibration image with a valid checksum in its last byte.
std::vector<uint8_t> MakeCalibrationImage(const CalibrationParams& params);

// A raw frame (one zero-extended 16-bit sample per int32, row-major) of a seeded phantom, as the
// sensor described by `calibrationImage` delivers it: the inverse of that calibration applied to a
// clean picture, plus noise. Sized by the image's own header (with the +500 rule, except for the
// legacy reading, whose loader has none). The listed bad lines are visibly darker, defective
// pixels stuck. Empty when the image is not 2 MiB or its header holds no geometry that fits it.
std::vector<int32_t> MakeRawFrame(const std::vector<uint8_t>& calibrationImage, uint32_t seed,
                                  bool legacy = false);

// The clean picture behind MakeRawFrame(..., seed): delivered values 0..4095 (0 for the strongest
// signal, teeth bright), upright, without noise. A corrected frame without enhancement matches
// it within the noise (a few grey levels) away from defects the correction cannot mend.
std::vector<int32_t> MakePhantomPicture(int32_t width, int32_t height, uint32_t seed);

// Noise of the generated frames: at most this many grey levels either way.
inline constexpr int32_t kNoiseAmplitude = 15;

} // namespace qor::testdata
