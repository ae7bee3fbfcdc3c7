// Tests of the test-data generator: valid images, determinism, and a phantom that the
// correction turns back into a clean picture.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/sensor_sim/core/test_data.h"

namespace qor {
namespace {

using testdata::CalibrationParams;
using testdata::MakeCalibrationImage;
using testdata::MakePhantomPicture;
using testdata::MakeRawFrame;

uint32_t ReadBe(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
           b[at + 3];
}

// FNV-1a over the bytes of a vector, to pin generated data across builds.
template <typename T> uint32_t Fingerprint(const std::vector<T>& values) {
    uint32_t h = 2166136261u;
    const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
    for (size_t i = 0; i < values.size() * sizeof(T); ++i) {
        h = (h ^ bytes[i]) * 16777619u;
    }
    return h;
}

CalibrationParams Params(int format, uint32_t id = 0x00200123) {
    CalibrationParams p;
    p.formatVersion = format;
    p.imagerId = id;
    p.badRows = {100, 101, 400};
    p.badColumns = {50, 700, 701, 702};
    p.defectPixels = 40;
    p.seed = 5;
    return p;
}

// Mean absolute difference over rows [y0, y1) and columns [x0, x1).
double MeanError(const std::vector<int32_t>& a, const std::vector<int32_t>& b, int32_t width,
                 int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
    double sum = 0;
    int64_t n = 0;
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            sum += std::abs(a[i] - b[i]);
            ++n;
        }
    }
    return sum / static_cast<double>(n);
}

struct Corrected {
    std::vector<int32_t> raw;
    std::vector<int32_t> frame;
    std::vector<int32_t> picture;
    int32_t width = 0;
    int32_t height = 0;
};

Corrected CorrectGenerated(const CalibrationParams& params, uint32_t seed) {
    Corrected c;
    const std::vector<uint8_t> image = MakeCalibrationImage(params);
    Calibration cal;
    const bool loaded = params.legacy ? LoadLegacyCalibration(cal, image.data())
                                      : LoadCalibration(cal, image.data(), {});
    EXPECT_TRUE(loaded);
    c.width = cal.set.width;
    c.height = cal.set.height;
    c.raw = MakeRawFrame(image, seed, params.legacy);
    c.frame = c.raw;
    EXPECT_EQ(c.frame.size(), static_cast<size_t>(c.width) * c.height);
    if (params.legacy) {
        CorrectLegacyFrame(c.frame.data(), c.frame.size(), cal, 1);
    } else {
        CorrectFrame(c.frame.data(), c.frame.size(), cal, 0, 2, {});
    }
    c.picture = MakePhantomPicture(c.width, c.height, seed);
    return c;
}

TEST(TestData, ImagesCarryTheHeaderAndAValidChecksum) {
    for (int format : {1, 2, 3, 4}) {
        const std::vector<uint8_t> image = MakeCalibrationImage(Params(format));
        ASSERT_EQ(image.size(), kCalibrationImageSize);
        EXPECT_EQ(CalibrationChecksum(image.data()), image.back()) << format;
        EXPECT_EQ(ReadBe(image, 0), 136u);
        EXPECT_EQ(ReadBe(image, 4), static_cast<uint32_t>(format));
        EXPECT_EQ(ReadBe(image, 8), 0x00200123u);
        EXPECT_EQ(ReadBe(image, 40), 3u);
        EXPECT_EQ(ReadBe(image, 44), 4u);
        EXPECT_EQ(ReadBe(image, 48 + 8), 400u);
        EXPECT_EQ(ReadBe(image, 88 + 12), 702u);
        EXPECT_EQ(PeekImagerId(image.data()), format >= 2 ? 0x00200123u : 0u);
    }
    CalibrationParams legacy = Params(2);
    legacy.legacy = true;
    legacy.badColumns = {7, 9};
    legacy.columnCorrections = {-12, 30};
    const std::vector<uint8_t> image = MakeCalibrationImage(legacy);
    EXPECT_EQ(CalibrationChecksum(image.data()), image.back());
    EXPECT_EQ(ReadBe(image, 88 + 4), 9u);
    EXPECT_EQ(static_cast<int32_t>(ReadBe(image, 88 + 20)), -12);
    EXPECT_EQ(static_cast<int32_t>(ReadBe(image, 88 + 24)), 30);
}

TEST(TestData, SensorTypesThreeAndFourStoreWidthMinus500) {
    CalibrationParams p = Params(3, 0x00312345);
    p.headerWidth = 499;
    p.height = 664;
    const std::vector<uint8_t> image = MakeCalibrationImage(p);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.width, 999);
    EXPECT_EQ(MakeRawFrame(image, 1).size(), 999u * 664u);
}

TEST(TestData, DeterministicPerSeedAndPinnedAcrossBuilds) {
    const CalibrationParams p = Params(3);
    const std::vector<uint8_t> a = MakeCalibrationImage(p);
    EXPECT_EQ(a, MakeCalibrationImage(p));
    CalibrationParams other = p;
    other.seed = 6;
    EXPECT_NE(a, MakeCalibrationImage(other));
    const std::vector<int32_t> raw = MakeRawFrame(a, 9);
    EXPECT_EQ(raw, MakeRawFrame(a, 9));
    EXPECT_NE(raw, MakeRawFrame(a, 10));
    // Both builds must produce these exact bytes.
    EXPECT_EQ(Fingerprint(a), 1364080879u);
    EXPECT_EQ(Fingerprint(raw), 1762557282u);
    EXPECT_EQ(Fingerprint(MakeCalibrationImage(Params(2))), 846336043u);
    EXPECT_EQ(Fingerprint(MakePhantomPicture(999, 664, 3)), 11921887u);
}

TEST(TestData, RawFramesAreSixteenBitSamplesWithVisiblyBadLines) {
    const std::vector<uint8_t> image = MakeCalibrationImage(Params(3));
    const std::vector<int32_t> raw = MakeRawFrame(image, 2);
    for (int32_t v : raw) {
        ASSERT_TRUE(v >= 0 && v <= 65535);
    }
    const int32_t w = 1201;
    double bad = 0, good = 0;
    for (int32_t x = 0; x < w; ++x) {
        bad += raw[static_cast<size_t>(400) * w + x];
        good += raw[static_cast<size_t>(399) * w + x];
    }
    EXPECT_LT(bad, 0.8 * good);
}

TEST(TestData, CorrectedPhantomIsClean) {
    for (int format : {1, 2, 3, 4}) {
        const Corrected c = CorrectGenerated(Params(format), 11);
        // Overall within the noise; the repaired lines within a little more.
        EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 0, c.height), 8.0) << format;
        EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 400, 401), 20.0) << format;
        EXPECT_LT(MeanError(c.frame, c.picture, c.width, 50, 51, 0, c.height), 20.0) << format;
        EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 100, 102), 20.0) << format;
        // The raw bad row, merely calibrated, would be far off.
        EXPECT_GT(MeanError(c.raw, c.picture, c.width, 0, c.width, 400, 401), 200.0);
    }
}

TEST(TestData, CorrectedPhantomIsUprightOnTurningSensors) {
    CalibrationParams p = Params(3, 0x00300060); // type 3, lowest byte 0x60: turned
    p.headerWidth = 499;
    p.height = 664;
    p.badColumns = {};
    const Corrected c = CorrectGenerated(p, 4);
    EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 0, c.height), 8.0);
}

TEST(TestData, CorrectedLegacyPhantomIsClean) {
    CalibrationParams p = Params(2);
    p.legacy = true;
    p.badColumns = {7, 300};
    p.columnCorrections = {-12, 40};
    const Corrected c = CorrectGenerated(p, 8);
    EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 0, c.height), 8.0);
    EXPECT_LT(MeanError(c.frame, c.picture, c.width, 7, 8, 0, c.height), 8.0);
    EXPECT_LT(MeanError(c.frame, c.picture, c.width, 300, 301, 0, c.height), 8.0);
    EXPECT_LT(MeanError(c.frame, c.picture, c.width, 0, c.width, 400, 401), 20.0);
}

TEST(TestData, UnusableGeometryGivesNoFrame) {
    CalibrationParams p = Params(3);
    p.headerWidth = 2000;
    p.height = 2000;
    const std::vector<uint8_t> image = MakeCalibrationImage(p);
    EXPECT_EQ(CalibrationChecksum(image.data()), image.back());
    EXPECT_TRUE(MakeRawFrame(image, 1).empty());
    p.headerWidth = -3;
    EXPECT_TRUE(MakeRawFrame(MakeCalibrationImage(p), 1).empty());
    EXPECT_TRUE(MakeRawFrame(std::vector<uint8_t>(100, 0), 1).empty());
}

} // namespace
} // namespace qor
