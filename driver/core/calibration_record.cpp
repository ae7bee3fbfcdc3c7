// The sensor calibration record: header parse, the two loaders and the release.
#include "driver/core/calibration_record.h"

#include <cstring>
#include <new>

namespace qor {

namespace {

// Word indices of the parsed header.
enum HeaderWord : int {
    kWordFormatVersion = 1,
    kWordImagerId = 2,
    kWordWidth = 3,
    kWordHeight = 4,
    kWordSensorSetting2 = 5,
    kWord36 = 9,
    kWordBadRowCount = 10,
    kWordBadColumnCount = 11,
    kWordBadRows = 12,
    kWordBadColumns = 22,
    kWordSensorSetting = 32,
    kWordGainReference = 33,
};

constexpr int32_t kGainLevelFloor = 160; // levels at or below this carry no signal
constexpr float kLegacyDefectMark = 4095.0f;

float* DefaultMapAllocator(std::size_t count) {
    return new (std::nothrow) float[count]();
}

MapAllocator g_mapAllocator = nullptr;

std::unique_ptr<float[]> AllocateMap(std::size_t count) {
    const MapAllocator allocate = g_mapAllocator ? g_mapAllocator : DefaultMapAllocator;
    return std::unique_ptr<float[]>(allocate(count));
}

int32_t AsSigned(uint32_t word) {
    return static_cast<int32_t>(word);
}

int32_t ClampCount(int32_t count, int32_t limit) {
    return count < 0 ? 0 : (count > limit ? limit : count);
}

uint16_t TableLevel(const uint8_t* image, int32_t pixel) {
    const uint8_t* entry = image + kCalibrationHeaderSize + 2 * static_cast<std::size_t>(pixel);
    return static_cast<uint16_t>(entry[0] | (entry[1] << 8));
}

// The per-pixel table of width x height 2-byte entries must lie inside the 2 MiB image.
bool GeometryFits(int64_t width, int64_t height) {
    return width > 0 && height > 0 &&
           width * height * 2 + static_cast<int64_t>(kCalibrationHeaderSize) <=
               static_cast<int64_t>(kCalibrationImageSize);
}

void FreeBuffers(CalibrationSet& set) {
    set.correctionMap.reset();
    set.header.reset();
    set.gainMap.reset();
    set.offsetMap.reset();
}

// A rejected image leaves no geometry behind that a later correction could trust.
bool Reject(Calibration& calibration) {
    calibration.set = CalibrationSet{};
    calibration.set.imagerId = 0;
    calibration.loaded = false;
    return false;
}

bool FailAllocation(Calibration& calibration) {
    ReleaseCalibration(calibration);
    return false;
}

// Steps 1 and 2 of both loaders: keep the set held for the same sensor, or start afresh.
// Returns true when the held set is kept.
bool KeepHeldSet(Calibration& calibration, const CalibrationHeader& parsed, bool legacy) {
    if (calibration.loaded) {
        const int32_t format = AsSigned(parsed.words[kWordFormatVersion]);
        const bool formatMatches = legacy ? format == 2 : format >= 2;
        if (formatMatches && parsed.words[kWordImagerId] == calibration.set.imagerId) {
            return true;
        }
        ReleaseCalibration(calibration);
        calibration.set = CalibrationSet{};
        calibration.set.imagerId = 0;
        return false;
    }
    // Not loaded: the steps overwrite what they fill; buffers of an earlier set go first.
    FreeBuffers(calibration.set);
    return false;
}

// Step 5 without the per-loader width rule: the header values of the set.
void StoreHeaderFields(CalibrationSet& set, const CalibrationHeader& parsed, int32_t columnLimit) {
    set.imagerId = parsed.words[kWordImagerId];
    set.sensorSetting2 = AsSigned(parsed.words[kWordSensorSetting2]);
    set.word36 = AsSigned(parsed.words[kWord36]);
    set.badColumnCount = ClampCount(AsSigned(parsed.words[kWordBadColumnCount]), columnLimit);
    set.badRowCount = ClampCount(AsSigned(parsed.words[kWordBadRowCount]), kMaxBadLines);
    for (int k = 0; k < kMaxBadLines; ++k) {
        set.badColumns[k] = AsSigned(parsed.words[kWordBadColumns + k]);
        set.badRows[k] = AsSigned(parsed.words[kWordBadRows + k]);
    }
    set.sensorSetting = AsSigned(parsed.words[kWordSensorSetting]);
    set.gainReference = static_cast<uint16_t>(parsed.words[kWordGainReference]);
}

// Steps 3 and 5 shared by both loaders; false when the geometry does not fit the image.
bool StoreHeader(CalibrationSet& set, const CalibrationHeader& parsed, bool widthRule,
                 int32_t columnLimit) {
    int64_t width = AsSigned(parsed.words[kWordWidth]);
    const int64_t height = AsSigned(parsed.words[kWordHeight]);
    const uint32_t sensorType = SensorTypeOf(parsed.words[kWordImagerId]);
    if (widthRule && (sensorType == 3 || sensorType == 4)) {
        width += 500;
    }
    if (!GeometryFits(width, height)) {
        return false;
    }
    StoreHeaderFields(set, parsed, columnLimit);
    set.width = static_cast<int32_t>(width);
    set.height = static_cast<int32_t>(height);
    set.pixelCount = set.width * set.height;
    return true;
}

// Formats below 3: flat-field gains relative to the gain reference; 0 marks a defect.
void FillGainMap(float* map, const uint8_t* image, int32_t pixelCount, uint16_t gainReference) {
    const int32_t referenceSignal =
        gainReference > kGainLevelFloor ? gainReference - kGainLevelFloor : 0;
    if (referenceSignal == 0) {
        // No usable reference: unit gains, so frames pass without flat-field correction.
        for (int32_t i = 0; i < pixelCount; ++i) {
            map[i] = 1.0f;
        }
        return;
    }
    const float reciprocal = static_cast<float>(1.0 / static_cast<double>(referenceSignal));
    for (int32_t i = 0; i < pixelCount; ++i) {
        const int32_t level = TableLevel(image, i);
        const int32_t signal = level > kGainLevelFloor ? level - kGainLevelFloor : 0;
        map[i] = static_cast<float>(static_cast<double>(signal) * static_cast<double>(reciprocal));
    }
}

// Formats 3 and above: one (offset code, gain code) byte pair per pixel.
void FillGainOffsetMaps(float* gains, float* offsets, const uint8_t* image, int32_t pixelCount) {
    constexpr float kGainStep = 0.005882353f; // nearest float to 1/170
    float gainOf[256];
    float offsetOf[256];
    for (int32_t code = 0; code < 256; ++code) {
        gainOf[code] =
            static_cast<float>(static_cast<double>(code) * static_cast<double>(kGainStep) + 0.5);
        offsetOf[code] = static_cast<float>(16 * code - 2048);
    }
    const uint8_t* table = image + kCalibrationHeaderSize;
    for (int32_t i = 0; i < pixelCount; ++i) {
        offsets[i] = offsetOf[table[2 * i]];
        gains[i] = gainOf[table[2 * i + 1]];
    }
}

// The legacy reading: additive offsets, 4095.0 marking a defective pixel.
void FillLegacyOffsetMap(float* map, const uint8_t* image, int32_t pixelCount,
                         uint16_t gainReference) {
    for (int32_t i = 0; i < pixelCount; ++i) {
        const int32_t level = TableLevel(image, i);
        map[i] = level == 0
                     ? kLegacyDefectMark
                     : static_cast<float>((static_cast<int32_t>(gainReference) - level) / 16);
    }
}

uint32_t ReadBigEndian32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

} // namespace

CalibrationHeader ParseCalibrationHeader(const uint8_t* bytes) {
    CalibrationHeader header;
    // The stored header size is ignored: every image is read with the 136-byte header.
    header.words[0] = static_cast<uint32_t>(kCalibrationHeaderSize);
    for (int k = 1; k <= 32; ++k) {
        header.words[k] = ReadBigEndian32(bytes + 4 * k);
    }
    header.words[33] = (static_cast<uint32_t>(bytes[132]) << 8) | bytes[133];
    return header;
}

uint32_t PeekImagerId(const uint8_t* headerBytes) {
    const CalibrationHeader header = ParseCalibrationHeader(headerBytes);
    return AsSigned(header.words[kWordFormatVersion]) >= 2 ? header.words[kWordImagerId] : 0;
}

std::string FormatWarningText(int32_t formatVersion) {
    return "Please contact your dealer to upgrade the driver.  Qor flash version = " +
           std::to_string(formatVersion);
}

bool LoadCalibration(Calibration& calibration, const uint8_t* image, const NoticeCallback& notify) {
    const CalibrationHeader parsed = ParseCalibrationHeader(image);
    if (KeepHeldSet(calibration, parsed, false)) {
        return true;
    }
    CalibrationSet& set = calibration.set;
    set.header.reset(new (std::nothrow) CalibrationHeader(parsed));
    if (!set.header) {
        return FailAllocation(calibration);
    }
    set.formatVersion = AsSigned(parsed.words[kWordFormatVersion]);
    if (set.formatVersion >= 4 && notify) {
        try {
            notify(UserNotice{kFormatWarningTitle, FormatWarningText(set.formatVersion)});
        } catch (...) {
            // A warning that cannot be shown does not stop the load.
        }
    }
    if (!StoreHeader(set, parsed, true, kMaxBadLines)) {
        return Reject(calibration);
    }
    const std::size_t count = static_cast<std::size_t>(set.pixelCount);
    if (set.formatVersion < 3) {
        set.correctionMap = AllocateMap(count);
        if (!set.correctionMap) {
            return FailAllocation(calibration);
        }
        FillGainMap(set.correctionMap.get(), image, set.pixelCount, set.gainReference);
    } else {
        set.gainMap = AllocateMap(count);
        set.offsetMap = AllocateMap(count);
        if (!set.gainMap || !set.offsetMap) {
            return FailAllocation(calibration);
        }
        FillGainOffsetMaps(set.gainMap.get(), set.offsetMap.get(), image, set.pixelCount);
    }
    calibration.loaded = true;
    return true;
}

bool LoadLegacyCalibration(Calibration& calibration, const uint8_t* image) {
    const CalibrationHeader parsed = ParseCalibrationHeader(image);
    if (KeepHeldSet(calibration, parsed, true)) {
        return true;
    }
    CalibrationSet& set = calibration.set;
    set.header.reset(new (std::nothrow) CalibrationHeader(parsed));
    if (!set.header) {
        return FailAllocation(calibration);
    }
    if (!StoreHeader(set, parsed, false, kMaxLegacyBadColumns)) {
        return Reject(calibration);
    }
    set.correctionMap = AllocateMap(static_cast<std::size_t>(set.pixelCount));
    if (!set.correctionMap) {
        return FailAllocation(calibration);
    }
    FillLegacyOffsetMap(set.correctionMap.get(), image, set.pixelCount, set.gainReference);
    calibration.loaded = true;
    return true;
}

void ReleaseCalibration(Calibration& calibration) {
    FreeBuffers(calibration.set);
    calibration.loaded = false;
    calibration.set.imagerId = 0;
}

uint8_t CalibrationChecksum(const uint8_t* image) {
    // The XOR of every byte but the last, eight at a time: the same value, an eighth of the
    // steps (which is what a coverage-instrumented fuzz build pays for).
    constexpr std::size_t kSummed = kCalibrationImageSize - 1;
    uint64_t words = 0;
    std::size_t i = 0;
    for (; i + 8 <= kSummed; i += 8) {
        uint64_t word;
        std::memcpy(&word, image + i, sizeof word);
        words ^= word;
    }
    uint8_t sum = 0;
    for (; i < kSummed; ++i) {
        sum = static_cast<uint8_t>(sum ^ image[i]);
    }
    for (int shift = 0; shift < 64; shift += 8) {
        sum = static_cast<uint8_t>(sum ^ (words >> shift));
    }
    return sum;
}

void SetMapAllocatorForTesting(MapAllocator allocator) {
    g_mapAllocator = allocator;
}

} // namespace qor
