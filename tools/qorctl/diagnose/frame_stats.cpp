// Statistics of a test frame: mean, noise, saturation and dead lines.
#include "tools/qorctl/diagnose/frame_stats.h"

// The one translation unit of qorctl that holds the PNG writer.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace qorctl::diagnose {

namespace {

// Mean and spread of each line (rows when `rows`, else columns).
struct LineStats {
    double mean = 0;
    bool stuck = true; // every value equal
};

std::vector<LineStats> Lines(const std::vector<int32_t>& f, int32_t width, int32_t height,
                             bool rows) {
    const int32_t lines = rows ? height : width;
    const int32_t length = rows ? width : height;
    std::vector<LineStats> out(static_cast<size_t>(lines));
    for (int32_t l = 0; l < lines; ++l) {
        double sum = 0;
        const int32_t first = rows ? f[size_t(l) * size_t(width)] : f[size_t(l)];
        for (int32_t i = 0; i < length; ++i) {
            const int32_t v = rows ? f[size_t(l) * size_t(width) + size_t(i)]
                                   : f[size_t(i) * size_t(width) + size_t(l)];
            sum += v;
            out[size_t(l)].stuck = out[size_t(l)].stuck && v == first;
        }
        out[size_t(l)].mean = sum / length;
    }
    return out;
}

// A line is dead when it is stuck at one value, or when its mean is off both neighbours' by
// more than 40 % of the frame's range of line means (a broken line of a working sensor; the
// picture's own steps are smaller than that between neighbours).
std::vector<int32_t> DeadLines(const std::vector<LineStats>& lines) {
    std::vector<int32_t> dead;
    if (lines.size() < 3) {
        return dead;
    }
    const auto [lo, hi] =
        std::minmax_element(lines.begin(), lines.end(),
                            [](const LineStats& a, const LineStats& b) { return a.mean < b.mean; });
    const double limit = 0.4 * (hi->mean - lo->mean);
    for (size_t l = 0; l < lines.size(); ++l) {
        const double before = l > 0 ? lines[l - 1].mean : lines[l + 1].mean;
        const double after = l + 1 < lines.size() ? lines[l + 1].mean : lines[l - 1].mean;
        const bool outlier = limit > 0 && std::abs(lines[l].mean - before) > limit &&
                             std::abs(lines[l].mean - after) > limit;
        if (lines[l].stuck || outlier) {
            dead.push_back(static_cast<int32_t>(l));
        }
    }
    return dead;
}

} // namespace

FrameStats MeasureFrame(const std::vector<int32_t>& f, int32_t width, int32_t height,
                        int32_t saturation) {
    FrameStats s;
    const size_t count = size_t(width) * size_t(height);
    if (width < 2 || height < 2 || f.size() < count) {
        return s;
    }
    double sum = 0, diffSum = 0, diffSquares = 0;
    size_t saturated = 0, diffs = 0;
    for (int32_t y = 0; y < height; ++y) {
        const int32_t* row = f.data() + size_t(y) * size_t(width);
        for (int32_t x = 0; x < width; ++x) {
            sum += row[x];
            saturated += row[x] >= saturation ? 1 : 0;
            if (x > 0) {
                const double d = double(row[x]) - double(row[x - 1]);
                diffSum += d;
                diffSquares += d * d;
                ++diffs;
            }
        }
    }
    s.mean = sum / double(count);
    const double diffMean = diffSum / double(diffs);
    s.noise = std::sqrt(std::max(0.0, diffSquares / double(diffs) - diffMean * diffMean) / 2.0);
    s.saturatedFraction = double(saturated) / double(count);
    s.deadRows = DeadLines(Lines(f, width, height, true));
    s.deadColumns = DeadLines(Lines(f, width, height, false));
    return s;
}

nlohmann::json ToJson(const FrameStats& s, bool lines) {
    nlohmann::json json = {
        {"mean", s.mean}, {"noise", s.noise}, {"saturated_fraction", s.saturatedFraction}};
    if (lines) {
        json["dead_rows"] = s.deadRows;
        json["dead_columns"] = s.deadColumns;
    }
    return json;
}

bool WriteGreyPng(const std::filesystem::path& path, const std::vector<int32_t>& frame,
                  int32_t width, int32_t height, int32_t low, int32_t high) {
    const size_t count = size_t(width) * size_t(height);
    if (width <= 0 || height <= 0 || frame.size() < count || high <= low) {
        return false;
    }
    std::vector<uint8_t> grey(count);
    for (size_t i = 0; i < count; ++i) {
        const int64_t v = std::clamp<int64_t>(frame[i], low, high);
        grey[i] = static_cast<uint8_t>((v - low) * 255 / (int64_t(high) - low));
    }
    // Through a stream, so that any file name the platform allows works.
    std::ofstream out(path, std::ios::binary);
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::ofstream*>(context)->write(static_cast<const char*>(data), size);
        },
        &out, width, height, 1, grey.data(), width);
    return bool(out.flush());
}

} // namespace qorctl::diagnose
