// Bad row and column repair: rebuilds the defective lines a calibration lists from their
// neighbours, in place, rows first, then columns.
#pragma once

#include <cstdint>

#include "driver/core/calibration_record.h"

namespace qor {

// Each repair reads width, height and the bad-line lists of `set`; `frame` holds
// width x height values. Counts are taken within the list slots (0..10, legacy columns 0..5)
// and entries outside the image are skipped, so nothing outside the frame is read or written.
void RepairFormat2Lines(int32_t* frame, const CalibrationSet& set);
void RepairFormat3Lines(int32_t* frame, const CalibrationSet& set);
void RepairLegacyLines(int32_t* frame, const CalibrationSet& set);

// Rebuilds the rows (columns) strictly between a and b: interpolated when both lie inside the
// image, copied from the one that does otherwise. 1 when it ran, 0 when the size is not
// positive or neither a nor b lies inside.
int32_t InterpolateRows(int32_t* frame, int32_t width, int32_t height, int64_t a, int64_t b);
int32_t InterpolateColumns(int32_t* frame, int32_t width, int32_t height, int64_t a, int64_t b);

} // namespace qor
