// The sensor calibration record: parsing the 2 MiB calibration image into the CalibrationSet
// that the driver library holds for the open sensor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qor {

inline constexpr std::size_t kCalibrationImageSize = 0x200000; // 2 MiB, also the flash size
inline constexpr std::size_t kCalibrationHeaderSize = 136;
inline constexpr int kMaxBadLines = 10;
inline constexpr int kMaxLegacyBadColumns = 5;
inline constexpr uint32_t kInitialImagerId = 0x100000; // sensor type 1, serial 0

// Sensor type lives in bits 20..23 of the imager ID.
inline constexpr uint32_t SensorTypeOf(uint32_t imagerId) {
    return (imagerId >> 20) & 0xF;
}

// The header as parsed: word 0 is the header size in use (136), words 1..32 the big-endian
// 32-bit words at byte 4k, word 33 the big-endian 16-bit gain reference at byte 132.
struct CalibrationHeader {
    uint32_t words[34] = {};
};

// Parses the first 136 bytes of a calibration image (no size or content checks are needed:
// every byte pattern is a header).
CalibrationHeader ParseCalibrationHeader(const uint8_t* bytes);

struct CalibrationSet {
    uint32_t imagerId = kInitialImagerId;
    int32_t pixelCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::unique_ptr<float[]> correctionMap; // the one map of formats 1 and 2 and legacy images
    uint16_t gainReference = 0;
    std::unique_ptr<CalibrationHeader> header;
    int32_t word36 = 0; // header word at byte 36, kept but unused
    int32_t badColumnCount = 0;
    int32_t badRowCount = 0;
    int32_t badColumns[kMaxBadLines] = {};
    int32_t badRows[kMaxBadLines] = {};
    int32_t sensorSetting = 0;
    int32_t formatVersion = 0;
    int32_t sensorSetting2 = 0;
    std::unique_ptr<float[]> gainMap;   // format 3 and later: the gain and offset maps instead
    std::unique_ptr<float[]> offsetMap;

    // A calibration is loaded for correction: the maps of its format are present. (Format 3 once
    // also held an all-zero correction map as this sign: 4 MB for nothing in every process.)
    bool Corrects() const {
        return formatVersion >= 3 ? gainMap && offsetMap : static_cast<bool>(correctionMap);
    }
};

// How the core reaches the user: the Windows shell shows a message box, tests record the text.
// The call returns when the user has dismissed the message.
struct UserNotice {
    std::string title;
    std::string text;
};
using NoticeCallback = std::function<void(const UserNotice&)>;

// The library's calibration: the set and its loaded flag.
struct Calibration {
    CalibrationSet set;
    bool loaded = false;
};

// imagerId of a header when its formatVersion is 2 or more, else 0.
uint32_t PeekImagerId(const uint8_t* headerBytes);

// Fill the set from a complete 2 MiB image. `image` must hold kCalibrationImageSize bytes.
// An image whose geometry does not fit its 2 MiB (non-positive sizes, or a per-pixel table
// reaching past the image) is rejected: the set is cleared (imagerId 0) and the result is false.
// Bad-line counts are kept within 0..10 (legacy columns 0..5); a gainReference of 160 or below
// gives a unit gain map (no flat-field correction) instead of a division by zero; a map that
// cannot be allocated fails the load (set released, result false).
bool LoadCalibration(Calibration& calibration, const uint8_t* image, const NoticeCallback& notify);
bool LoadLegacyCalibration(Calibration& calibration, const uint8_t* image);
void ReleaseCalibration(Calibration& calibration);

// Texts of the format warning that LoadCalibration raises for format 4 and newer.
inline constexpr const char* kFormatWarningTitle =
    "Warning: You are using an older version of qor.dll (Version = 5.5.0)";
std::string FormatWarningText(int32_t formatVersion);

// Test seam: the allocator of the per-pixel maps (`count` zeroed floats, or null on failure; it
// must not throw and must allocate with new[]). Null restores the default.
using MapAllocator = float* (*)(std::size_t count);
void SetMapAllocatorForTesting(MapAllocator allocator);

// XOR of bytes 0..0x1FFFFE; a valid image carries it in byte 0x1FFFFF.
uint8_t CalibrationChecksum(const uint8_t* image);

} // namespace qor
