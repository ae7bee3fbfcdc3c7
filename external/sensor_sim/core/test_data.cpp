// Generated calibration images: header, per-pixel table of a plausible sensor, checksum.
#include "external/sensor_sim/core/test_data.h"

#include <algorithm>

#include "external/sensor_sim/core/test_data_detail.h"

namespace qor::testdata {

namespace {

using namespace detail;

// What the simulated sensor really does at each pixel: gain and offset that vary smoothly over
// the area (stronger gain needed towards the edges), per column and per pixel.
struct Response {
    std::vector<double> gain;   // the factor a correction must apply (about 0.85..1.2)
    std::vector<double> offset; // the level a correction must add (about -100..40)
};

Response MakeResponse(int32_t width, int32_t height, Random& random) {
    std::vector<double> columnGain(static_cast<size_t>(width));
    std::vector<double> columnOffset(static_cast<size_t>(width));
    for (int32_t x = 0; x < width; ++x) {
        columnGain[x] = random.Bell(30) / 1000.0;
        columnOffset[x] = random.Bell(20);
    }
    Response response;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    response.gain.resize(count);
    response.offset.resize(count);
    for (int32_t y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height;
        for (int32_t x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width;
            const double r2 = 2.0 * ((u - 0.5) * (u - 0.5) + (v - 0.5) * (v - 0.5));
            const size_t i = static_cast<size_t>(y) * width + x;
            const double gain = 0.9 + 0.18 * r2 + columnGain[x] + random.Bell(30) / 1000.0;
            response.gain[i] = Clamp(gain, 0.85, 1.2);
            response.offset[i] = -60.0 + 80.0 * v + columnOffset[x] + random.Bell(16);
        }
    }
    return response;
}

void WriteLineList(uint8_t* at, const std::vector<int32_t>& lines, int slots) {
    for (int k = 0; k < slots && k < static_cast<int>(lines.size()); ++k) {
        WriteBe32(at + 4 * k, static_cast<uint32_t>(lines[k]));
    }
}

void WriteHeader(std::vector<uint8_t>& image, const CalibrationParams& p) {
    uint8_t* h = image.data();
    WriteBe32(h + kAtHeaderSize, static_cast<uint32_t>(kHeaderSize));
    WriteBe32(h + kAtFormat, static_cast<uint32_t>(p.formatVersion));
    WriteBe32(h + kAtImagerId, p.imagerId);
    WriteBe32(h + kAtWidth, static_cast<uint32_t>(p.headerWidth));
    WriteBe32(h + kAtHeight, static_cast<uint32_t>(p.height));
    WriteBe32(h + kAtSensorSetting2, static_cast<uint32_t>(p.sensorSetting2));
    // Counts are written as given (more than ten builds an unsafe image); lists hold ten slots.
    WriteBe32(h + kAtBadRowCount, static_cast<uint32_t>(p.badRows.size()));
    WriteBe32(h + kAtBadColumnCount, static_cast<uint32_t>(p.badColumns.size()));
    WriteLineList(h + kAtBadRows, p.badRows, kLineSlots);
    if (p.legacy) {
        WriteLineList(h + kAtBadColumns, p.badColumns, kLegacyColumnSlots);
        WriteLineList(h + kAtBadColumns + 4 * kLegacyColumnSlots, p.columnCorrections,
                      kLegacyColumnSlots);
    } else {
        WriteLineList(h + kAtBadColumns, p.badColumns, kLineSlots);
    }
    WriteBe32(h + kAtSensorSetting, static_cast<uint32_t>(p.sensorSetting));
    h[kAtGainReference] = static_cast<uint8_t>(p.gainReference >> 8);
    h[kAtGainReference + 1] = static_cast<uint8_t>(p.gainReference);
}

void WriteEntry(std::vector<uint8_t>& image, size_t pixel, uint8_t first, uint8_t second) {
    const size_t at = kHeaderSize + 2 * pixel;
    if (at + 1 < image.size()) {
        image[at] = first;
        image[at + 1] = second;
    }
}

void WriteLevel(std::vector<uint8_t>& image, size_t pixel, int32_t level) {
    const uint16_t v = static_cast<uint16_t>(std::clamp(level, 0, 65535));
    WriteEntry(image, pixel, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8));
}

uint8_t CodeOf(double v) {
    return static_cast<uint8_t>(std::clamp(RoundToInt(v), 0, 255));
}

} // namespace

std::vector<uint8_t> MakeCalibrationImage(const CalibrationParams& params) {
    std::vector<uint8_t> image(kImageSize, 0);
    WriteHeader(image, params);

    int64_t width = params.headerWidth;
    const uint32_t type = SensorType(params.imagerId);
    if (!params.legacy && (type == 3 || type == 4)) {
        width += 500;
    }
    const int64_t height = params.height;
    if (width > 0 && height > 0 && width * height <= static_cast<int64_t>(kImageSize)) {
        Random random(params.seed);
        const int32_t w = static_cast<int32_t>(width);
        const int32_t h = static_cast<int32_t>(height);
        const Response response = MakeResponse(w, h, random);
        const int32_t reference = params.gainReference;
        const size_t count = response.gain.size();
        std::vector<bool> defective(count, false);
        for (int d = 0; d < params.defectPixels && count > 0; ++d) {
            defective[random.Below(static_cast<uint32_t>(count))] = true;
        }
        for (size_t i = 0; i < count; ++i) {
            const double gain = response.gain[i];
            const double offset = response.offset[i];
            if (params.legacy) {
                // entry = (reference - level) / 16 is added; 0 marks a defect.
                WriteLevel(image, i,
                           defective[i] ? 0 : std::max(1, reference - 16 * RoundToInt(offset)));
            } else if (params.formatVersion < 3) {
                // The gain map holds 1 / correction factor relative to the reference level.
                const int32_t level = 160 + RoundToInt((reference - 160) / gain);
                WriteLevel(image, i, defective[i] ? 0 : level);
            } else {
                // Gain 0.5 + g / 170, offset 16 o - 2048; a defective pixel is a very weak one.
                const uint8_t g = defective[i] ? 187 : CodeOf((gain - 0.5) * 170.0);
                WriteEntry(image, i, CodeOf(128.0 + offset / 16.0), g);
            }
        }
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < kImageSize; ++i) {
        sum = static_cast<uint8_t>(sum ^ image[i]);
    }
    image[kImageSize - 1] = sum;
    return image;
}

} // namespace qor::testdata
