// The per-pixel calibration stages of frame correction: gain correction with defect fill
// (formats below 3), gain and offset correction (format 3 and later) and the legacy offsets.
#pragma once

#include <cstdint>

#include "driver/core/calibration_record.h"

namespace qor {

// Each stage works in place in scan order on `frame`, which holds set.width x set.height values,
// and needs the map it names to be present (the caller checks).

// v = trunc(v read as unsigned / g), 4095 when that does not read as 0..4095; a gain of 0.0
// marks a defective pixel, filled from a neighbour.
void ApplyGainCorrection(int32_t* frame, const CalibrationSet& set);

// Raw values below the first and above the second fade the gain and offset correction into the
// raw value.
inline constexpr int32_t kGainOffsetDarkEnd = 409;
inline constexpr int32_t kGainOffsetBrightEnd = 3685;

// f = trunc(x * G + O + 0.5), faded into the raw value below 409 and above 3685, clamped to
// 0..4095. Returns the sum of the raw values, which the exposure test needs: one pass over the
// frame instead of two.
int64_t ApplyGainOffsetCorrection(int32_t* frame, const CalibrationSet& set);
// The same for rows [firstRow, endRow) only: rows do not depend on each other.
int64_t ApplyGainOffsetRows(int32_t* frame, const CalibrationSet& set, int32_t firstRow,
                            int32_t endRow);

// v = trunc(v read as unsigned + entry) clamped to 0..4095; an entry of 4095.0 marks a
// defective pixel, filled from a neighbour whose entry is not that mark.
void ApplyLegacyOffsetCorrection(int32_t* frame, const CalibrationSet& set);

// One pixel of the gain and offset correction (the whole formula, for any input).
int32_t GainOffsetPixel(int32_t x, float gain, float offset);

} // namespace qor
