// A slow, literal rendering of the calibration maps, the corrections and the repairs, one rule
// after another with no shortcuts, against which the fast code is compared exactly.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/core/frame_correction.h"

namespace qor::reference {

struct Maps {
    std::vector<float> correction;
    std::vector<float> gain;
    std::vector<float> offset;
};

// Maps of an image of the given geometry: formats below 3, 3 and above, or the legacy reading.
Maps BuildMaps(const uint8_t* image, int32_t pixelCount, int32_t format, bool legacy);

void GainCorrection(std::vector<int32_t>& f, const CalibrationSet& set);
void GainOffsetCorrection(std::vector<int32_t>& f, const CalibrationSet& set);
void LegacyOffsetCorrection(std::vector<int32_t>& f, const CalibrationSet& set);
void Format2Repair(std::vector<int32_t>& f, const CalibrationSet& set);
void Format3Repair(std::vector<int32_t>& f, const CalibrationSet& set);
void LegacyRepair(std::vector<int32_t>& f, const CalibrationSet& set);

// The whole pipelines on a frame of exactly width x height values.
void CorrectFrame(std::vector<int32_t>& f, const Calibration& cal, uint32_t threshold,
                  int32_t processFlag, const CorrectionServices& services);
void CorrectLegacyFrame(std::vector<int32_t>& f, const Calibration& cal, int32_t processFlag);

} // namespace qor::reference
