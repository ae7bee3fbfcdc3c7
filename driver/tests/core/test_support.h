// Helpers of the core tests: calibration images built byte by byte, and notice recording.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"

namespace qor::test {

// A 2 MiB calibration image written field by field (big-endian header, table after byte 136).
class ImageBuilder {
public:
    ImageBuilder(int32_t format, uint32_t imagerId, int32_t width, int32_t height)
        : bytes_(kCalibrationImageSize, 0) {
        Word(0, 136);
        Word(4, static_cast<uint32_t>(format));
        Word(8, imagerId);
        Word(12, static_cast<uint32_t>(width));
        Word(16, static_cast<uint32_t>(height));
    }
    ImageBuilder& Word(size_t offset, uint32_t value) {
        bytes_[offset] = static_cast<uint8_t>(value >> 24);
        bytes_[offset + 1] = static_cast<uint8_t>(value >> 16);
        bytes_[offset + 2] = static_cast<uint8_t>(value >> 8);
        bytes_[offset + 3] = static_cast<uint8_t>(value);
        return *this;
    }
    ImageBuilder& GainReference(uint16_t value) {
        bytes_[132] = static_cast<uint8_t>(value >> 8);
        bytes_[133] = static_cast<uint8_t>(value);
        return *this;
    }
    ImageBuilder& BadRows(const std::vector<int32_t>& rows) { return Lines(40, 48, rows); }
    ImageBuilder& BadColumns(const std::vector<int32_t>& columns) { return Lines(44, 88, columns); }
    // Little-endian 16-bit level (formats below 3 and the legacy reading).
    ImageBuilder& Level(size_t pixel, uint16_t level) {
        bytes_[136 + 2 * pixel] = static_cast<uint8_t>(level);
        bytes_[137 + 2 * pixel] = static_cast<uint8_t>(level >> 8);
        return *this;
    }
    // Offset code then gain code (formats 3 and above).
    ImageBuilder& Codes(size_t pixel, uint8_t offsetCode, uint8_t gainCode) {
        bytes_[136 + 2 * pixel] = offsetCode;
        bytes_[137 + 2 * pixel] = gainCode;
        return *this;
    }
    ImageBuilder& FillLevels(size_t count, uint16_t level) {
        for (size_t i = 0; i < count; ++i) {
            Level(i, level);
        }
        return *this;
    }
    ImageBuilder& FillCodes(size_t count, uint8_t offsetCode, uint8_t gainCode) {
        for (size_t i = 0; i < count; ++i) {
            Codes(i, offsetCode, gainCode);
        }
        return *this;
    }
    // Random table bytes for `count` pixels.
    ImageBuilder& RandomTable(size_t count, std::mt19937& rng) {
        for (size_t i = 0; i < 2 * count; ++i) {
            bytes_[136 + i] = static_cast<uint8_t>(rng());
        }
        return *this;
    }
    std::vector<uint8_t>& bytes() { return bytes_; }
    const uint8_t* data() const { return bytes_.data(); }

private:
    ImageBuilder& Lines(size_t countAt, size_t listAt, const std::vector<int32_t>& lines) {
        Word(countAt, static_cast<uint32_t>(lines.size()));
        for (size_t k = 0; k < lines.size() && k < 10; ++k) {
            Word(listAt + 4 * k, static_cast<uint32_t>(lines[k]));
        }
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// Collects the notices a call raises.
struct NoticeLog {
    std::vector<UserNotice> notices;
    NoticeCallback Callback() {
        return [this](const UserNotice& n) { notices.push_back(n); };
    }
};

// A set with the given geometry and bad lines and no maps, for the repairs.
inline CalibrationSet LineSet(int32_t width, int32_t height, std::vector<int32_t> rows,
                              std::vector<int32_t> columns) {
    CalibrationSet set;
    set.width = width;
    set.height = height;
    set.pixelCount = width * height;
    set.badRowCount = static_cast<int32_t>(rows.size());
    set.badColumnCount = static_cast<int32_t>(columns.size());
    for (size_t k = 0; k < rows.size() && k < 10; ++k) {
        set.badRows[k] = rows[k];
    }
    for (size_t k = 0; k < columns.size() && k < 10; ++k) {
        set.badColumns[k] = columns[k];
    }
    return set;
}

// A frame whose pixel (x, y) holds 1000 y + x: every value says where it came from.
inline std::vector<int32_t> PositionFrame(int32_t width, int32_t height) {
    std::vector<int32_t> frame(static_cast<size_t>(width) * height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            frame[static_cast<size_t>(y) * width + x] = 1000 * y + x;
        }
    }
    return frame;
}

} // namespace qor::test
