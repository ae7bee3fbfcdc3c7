// Internal pieces shared by the test-data generator's sources: image layout, integer random
// numbers that are identical in every build, and small exact arithmetic helpers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace qor::testdata::detail {

inline constexpr std::size_t kImageSize = 0x200000;
inline constexpr std::size_t kHeaderSize = 136;
inline constexpr int kLineSlots = 10;
inline constexpr int kLegacyColumnSlots = 5;

// Header byte offsets.
inline constexpr std::size_t kAtHeaderSize = 0;
inline constexpr std::size_t kAtFormat = 4;
inline constexpr std::size_t kAtImagerId = 8;
inline constexpr std::size_t kAtWidth = 12;
inline constexpr std::size_t kAtHeight = 16;
inline constexpr std::size_t kAtSensorSetting2 = 20;
inline constexpr std::size_t kAtBadRowCount = 40;
inline constexpr std::size_t kAtBadColumnCount = 44;
inline constexpr std::size_t kAtBadRows = 48;
inline constexpr std::size_t kAtBadColumns = 88;
inline constexpr std::size_t kAtSensorSetting = 128;
inline constexpr std::size_t kAtGainReference = 132;

// Only the engine's own output is used: its sequence is fixed by the standard, while the
// library's distributions may differ between standard libraries.
class Random {
public:
    explicit Random(uint32_t seed) : engine_(seed) {}
    uint32_t Next() { return static_cast<uint32_t>(engine_()); }
    // 0..n-1.
    uint32_t Below(uint32_t n) {
        return static_cast<uint32_t>((static_cast<uint64_t>(Next()) * n) >> 32);
    }
    // -amplitude..amplitude, roughly bell-shaped (sum of four bytes).
    int32_t Bell(int32_t amplitude) {
        const uint32_t r = Next();
        const int32_t sum =
            static_cast<int32_t>((r & 0xFF) + ((r >> 8) & 0xFF) + ((r >> 16) & 0xFF) + (r >> 24)) -
            510;
        return sum * amplitude / 510;
    }

private:
    std::mt19937 engine_;
};

inline uint32_t ReadBe32(const uint8_t* at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | at[3];
}

inline void WriteBe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

inline uint32_t SensorType(uint32_t imagerId) {
    return (imagerId >> 20) & 0xF;
}

// Frames of these sensors are delivered turned by 180 degrees (the driver's orientation key).
inline bool Turned(uint32_t imagerId) {
    const uint32_t key = ((imagerId & 0xFFu) << 20) | (((imagerId >> 8) & 0xFFu) << 12) |
                         (((imagerId >> 16) & 0xFu) << 8) | ((imagerId >> 24) & 0xFFu);
    return key >= 100000000u;
}

// The per-pixel table of width x height entries fits the image.
inline bool GeometryFits(int64_t width, int64_t height) {
    return width > 0 && height > 0 &&
           width * height * 2 + static_cast<int64_t>(kHeaderSize) <=
               static_cast<int64_t>(kImageSize);
}

// Round half up with exact double operations only (identical in every build).
inline int32_t RoundToInt(double v) {
    return static_cast<int32_t>(std::floor(v + 0.5));
}

inline double Clamp(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// 0 below e0, 1 above e1, a smooth cubic between.
inline double Smooth(double e0, double e1, double x) {
    const double t = Clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

inline double Mix(double a, double b, double weight) {
    return a + (b - a) * weight;
}

} // namespace qor::testdata::detail
