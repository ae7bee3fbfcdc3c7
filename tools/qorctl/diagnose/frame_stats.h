// Statistics of a test frame for the diagnosis, and its pictures.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace qorctl::diagnose {

struct FrameStats {
    double mean = 0;
    // Noise: the standard deviation of the differences of horizontally neighbouring pixels,
    // divided by sqrt(2), so that the picture's own structure hardly counts.
    double noise = 0;
    double saturatedFraction = 0;  // share of pixels at or above the saturation level
    std::vector<int32_t> deadRows; // rows that are stuck or stand out from both neighbours
    std::vector<int32_t> deadColumns;
};

// `saturation`: the value at and above which a pixel counts as saturated (65535 for raw
// samples, 4095 for corrected values).
FrameStats MeasureFrame(const std::vector<int32_t>& frame, int32_t width, int32_t height,
                        int32_t saturation);
// `lines`: with the dead rows and columns (not for a drawn demo pattern, whose rows are uniform).
nlohmann::json ToJson(const FrameStats& stats, bool lines = true);

// An 8-bit grey PNG of the frame, `low`..`high` spread over 0..255 (values outside clamped).
bool WriteGreyPng(const std::filesystem::path& path, const std::vector<int32_t>& frame,
                  int32_t width, int32_t height, int32_t low, int32_t high);

} // namespace qorctl::diagnose
