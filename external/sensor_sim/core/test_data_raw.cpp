// Generated raw frames: the phantom seen through a calibration image's sensor, with noise,
// weak bad lines and stuck defective pixels.
#include <algorithm>

#include "external/sensor_sim/core/test_data.h"
#include "external/sensor_sim/core/test_data_detail.h"

namespace qor::testdata {

namespace {

using namespace detail;

constexpr int32_t kStuckLevel = 3900; // what a defective pixel delivers

struct Header {
    int32_t format;
    uint32_t imagerId;
    int32_t width;
    int32_t height;
    int32_t badRowCount;
    int32_t badColumnCount;
    int32_t badRows[kLineSlots];
    int32_t badColumns[kLineSlots];
    int32_t gainReference;
};

bool ReadHeader(const std::vector<uint8_t>& image, bool legacy, Header& h) {
    if (image.size() != kImageSize) {
        return false;
    }
    const uint8_t* b = image.data();
    h.format = static_cast<int32_t>(ReadBe32(b + kAtFormat));
    h.imagerId = ReadBe32(b + kAtImagerId);
    int64_t width = static_cast<int32_t>(ReadBe32(b + kAtWidth));
    const int64_t height = static_cast<int32_t>(ReadBe32(b + kAtHeight));
    const uint32_t type = SensorType(h.imagerId);
    if (!legacy && (type == 3 || type == 4)) {
        width += 500;
    }
    if (!GeometryFits(width, height)) {
        return false;
    }
    h.width = static_cast<int32_t>(width);
    h.height = static_cast<int32_t>(height);
    const int32_t columnSlots = legacy ? kLegacyColumnSlots : kLineSlots;
    h.badRowCount = std::clamp(static_cast<int32_t>(ReadBe32(b + kAtBadRowCount)), 0, kLineSlots);
    h.badColumnCount =
        std::clamp(static_cast<int32_t>(ReadBe32(b + kAtBadColumnCount)), 0, columnSlots);
    for (int k = 0; k < kLineSlots; ++k) {
        h.badRows[k] = static_cast<int32_t>(ReadBe32(b + kAtBadRows + 4 * k));
        h.badColumns[k] = static_cast<int32_t>(ReadBe32(b + kAtBadColumns + 4 * k));
    }
    h.gainReference = (b[kAtGainReference] << 8) | b[kAtGainReference + 1];
    return true;
}

uint16_t Level(const std::vector<uint8_t>& image, size_t pixel) {
    const size_t at = kHeaderSize + 2 * pixel;
    return static_cast<uint16_t>(image[at] | (image[at + 1] << 8));
}

// The raw sample whose correction gives `clean` (pre-inversion level); -1 for a defect.
int32_t RawFor(const std::vector<uint8_t>& image, const Header& h, bool legacy, size_t pixel,
               int32_t clean) {
    if (legacy) {
        const int32_t level = Level(image, pixel);
        if (level == 0) {
            return -1;
        }
        return clean - (h.gainReference - level) / 16; // the correction adds the entry
    }
    if (h.format < 3) {
        const int32_t level = Level(image, pixel);
        const int32_t reference = h.gainReference - 160;
        if (level <= 160 || reference <= 0) {
            return level <= 160 && reference > 0 ? -1 : clean;
        }
        // The correction divides by (level - 160) / (reference - 160).
        return RoundToInt(clean * static_cast<double>(level - 160) / reference);
    }
    const uint8_t o = image[kHeaderSize + 2 * pixel];
    const uint8_t g = image[kHeaderSize + 2 * pixel + 1];
    const double gain = static_cast<float>(g * static_cast<double>(0.005882353f) + 0.5);
    const double offset = 16.0 * o - 2048.0;
    return RoundToInt((clean - offset) / gain);
}

bool Listed(const int32_t* lines, int32_t count, int32_t line) {
    return std::find(lines, lines + count, line) != lines + count;
}

} // namespace

std::vector<int32_t> MakeRawFrame(const std::vector<uint8_t>& calibrationImage, uint32_t seed,
                                  bool legacy) {
    Header h{};
    if (!ReadHeader(calibrationImage, legacy, h)) {
        return {};
    }
    const std::vector<int32_t> picture = MakePhantomPicture(h.width, h.height, seed);
    const size_t count = picture.size();
    // The correction inverts (and for some sensors turns) the frame; the raw frame holds the
    // picture the other way round.
    const bool turned = !legacy && Turned(h.imagerId);
    const int32_t legacyColumns = legacy ? h.badColumnCount : 0;
    Random noise(seed);
    std::vector<int32_t> raw(count);
    // The weak columns as a mask, rather than a search of the list for every pixel.
    std::vector<char> weakColumn(static_cast<size_t>(h.width), 0);
    for (int32_t k = 0; !legacy && k < h.badColumnCount; ++k) {
        if (h.badColumns[k] >= 0 && h.badColumns[k] < h.width) {
            weakColumn[static_cast<size_t>(h.badColumns[k])] = 1;
        }
    }
    for (int32_t y = 0; y < h.height; ++y) {
        const bool badRow = Listed(h.badRows, h.badRowCount, y);
        for (int32_t x = 0; x < h.width; ++x) {
            const size_t i = static_cast<size_t>(y) * h.width + x;
            const int32_t shown = picture[turned ? count - 1 - i : i];
            int32_t clean = 4095 - shown + noise.Bell(kNoiseAmplitude);
            // A legacy bad column is off by its correction, which the legacy repair adds back.
            for (int32_t k = 0; k < legacyColumns; ++k) {
                if (h.badColumns[k] == x && x > 0) {
                    clean += h.badColumns[k + kLegacyColumnSlots];
                }
            }
            int32_t value = RawFor(calibrationImage, h, legacy, i, clean);
            if (value < 0) {
                value = kStuckLevel;
            } else if (badRow || weakColumn[static_cast<size_t>(x)] != 0) {
                value = value * 3 / 4; // a weak line
            }
            raw[i] = std::clamp(value, 0, 65535);
        }
    }
    return raw;
}

} // namespace qor::testdata
