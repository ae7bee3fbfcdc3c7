// Tests of the frame correction pipelines, their stages and the sensor helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "driver/core/flat_field.h"
#include "driver/core/frame_correction.h"
#include "driver/core/sensor_type_table.h"
#include "test_support.h"

namespace qor {
namespace {

using test::ImageBuilder;
using test::NoticeLog;

constexpr uint32_t kPlainId = 0x00212345; // type 2, key below the turn limit

// Records what the pipeline hands to the enhancement; adds 1 to every pixel when the flag is 1.
struct EnhanceRecorder {
    static inline int calls = 0;
    static inline int32_t lastFlag = 0;
    static inline int32_t lastWidth = 0;
    static int32_t QOR_STDCALL Enhance(int32_t* image, int32_t width, int32_t height,
                                       int32_t flag) {
        ++calls;
        lastFlag = flag;
        lastWidth = width;
        if (flag != 1) {
            return 0;
        }
        for (int32_t i = 0; i < width * height; ++i) {
            image[i] += 1;
        }
        return 1;
    }
    static void Reset() { calls = 0, lastFlag = 0, lastWidth = 0; }
};

Calibration Loaded(ImageBuilder& image) {
    Calibration cal;
    EXPECT_TRUE(LoadCalibration(cal, image.data(), {}));
    return cal;
}

Calibration LoadedLegacy(ImageBuilder& image) {
    Calibration cal;
    EXPECT_TRUE(LoadLegacyCalibration(cal, image.data()));
    return cal;
}

// A format-3 calibration with gain 1.0 and offset +32 everywhere.
Calibration PlusThirtyTwo(int32_t width, int32_t height, uint32_t id = kPlainId) {
    ImageBuilder image(3, id, width, height);
    image.FillCodes(static_cast<size_t>(width) * height, 130, 85);
    return Loaded(image);
}

TEST(ExposureTest, MeanJustBelowTheThresholdWarnsWithItsTruncatedValue) {
    Calibration cal = PlusThirtyTwo(5, 2);
    std::vector<int32_t> frame(10, 1023);
    frame[3] = 1022; // mean 1022.9
    NoticeLog log;
    CorrectionServices services;
    services.notify = log.Callback();
    EXPECT_TRUE(CorrectFrame(frame.data(), frame.size(), cal, 1023, 0, services));
    ASSERT_EQ(log.notices.size(), 1u);
    EXPECT_EQ(log.notices[0].title, "Warning ( 1022)");
    EXPECT_EQ(log.notices[0].text, "Image May be Under Exposed");

    std::vector<int32_t> exact(10, 1023);
    log.notices.clear();
    CorrectFrame(exact.data(), exact.size(), cal, 1023, 0, services);
    EXPECT_TRUE(log.notices.empty());

    // The exposure test runs whatever the process flag, and without a callback nothing breaks.
    std::vector<int32_t> dark(10, 0);
    CorrectFrame(dark.data(), dark.size(), cal, 1023, 1, {});
    EXPECT_EQ(dark[0], 4095);
}

TEST(ExposureTest, MeanIsExactOverLargeValues) {
    std::vector<int32_t> frame(1 << 20, INT_MAX);
    EXPECT_EQ(ExposureMean(frame.data(), frame.size()), static_cast<double>(INT_MAX));
    frame[0] = INT_MIN;
    EXPECT_LT(ExposureMean(frame.data(), frame.size()), static_cast<double>(INT_MAX));
    EXPECT_EQ(UnderExposureTitle(-0.5), "Warning ( 0)");
    EXPECT_EQ(UnderExposureTitle(4095.99), "Warning ( 4095)");
}

TEST(CorrectFrame, ProcessFlagZeroOnlyInverts) {
    Calibration cal = PlusThirtyTwo(6, 1);
    std::vector<int32_t> frame = {5000, 0, 4095, 1, -1, 100};
    EXPECT_TRUE(CorrectFrame(frame.data(), frame.size(), cal, 0, 0, {}));
    EXPECT_EQ(frame, (std::vector<int32_t>{0, 4095, 0, 4094, 0, 3995}));
    std::vector<int32_t> negative = {5000, 0, 4095, 1, -1, 100};
    CorrectFrame(negative.data(), negative.size(), cal, 0, -3, {});
    EXPECT_EQ(negative, frame);
}

TEST(CorrectFrame, ProcessFlagTwoCalibratesAndCallsTheEnhancementWithTwo) {
    Calibration cal = PlusThirtyTwo(140, 140);
    std::vector<int32_t> frame(140 * 140, 1000);
    EnhanceRecorder::Reset();
    CorrectionServices services{&EnhanceRecorder::Enhance, {}};
    CorrectFrame(frame.data(), frame.size(), cal, 0, 2, services);
    EXPECT_EQ(EnhanceRecorder::calls, 1);
    EXPECT_EQ(EnhanceRecorder::lastFlag, 2);
    EXPECT_EQ(frame[0], 4095 - 1032);

    std::vector<int32_t> enhanced(140 * 140, 1000);
    CorrectFrame(enhanced.data(), enhanced.size(), cal, 0, 1, services);
    EXPECT_EQ(EnhanceRecorder::calls, 2);
    EXPECT_EQ(enhanced[0], 4095 - 1033);

    std::vector<int32_t> raw(140 * 140, 1000);
    CorrectFrame(raw.data(), raw.size(), cal, 0, 0, services);
    EXPECT_EQ(EnhanceRecorder::calls, 2); // no calibration, no enhancement
}

TEST(GainOffsetCorrection, FadesIntoTheRawValueAtBothEnds) {
    // Gain 1.0, offset +32: full correction from 409 to 3685, blending outside.
    EXPECT_EQ(GainOffsetPixel(408, 1.0f, 32.0f), 439);
    EXPECT_EQ(GainOffsetPixel(409, 1.0f, 32.0f), 441);
    EXPECT_EQ(GainOffsetPixel(3685, 1.0f, 32.0f), 3717);
    EXPECT_EQ(GainOffsetPixel(3686, 1.0f, 32.0f), 3717);
    EXPECT_EQ(GainOffsetPixel(4095, 1.0f, 32.0f), 4095);
    EXPECT_EQ(GainOffsetPixel(5000, 1.0f, 32.0f), 4095);
}

TEST(GainOffsetCorrection, RawZeroStaysZeroWhateverTheCodes) {
    ImageBuilder image(3, kPlainId, 256, 256);
    for (int o = 0; o < 256; ++o) {
        for (int g = 0; g < 256; ++g) {
            image.Codes(static_cast<size_t>(o) * 256 + g, static_cast<uint8_t>(o),
                        static_cast<uint8_t>(g));
        }
    }
    Calibration cal = Loaded(image);
    std::vector<int32_t> frame(256 * 256, 0);
    CorrectFrame(frame.data(), frame.size(), cal, 0, 2, {});
    for (int32_t v : frame) {
        ASSERT_EQ(v, 4095);
    }
}

TEST(GainOffsetCorrection, ValuesThatFusedMultiplyAddWouldChange) {
    // Both need the two products rounded separately (no contraction into fused multiply-adds).
    const float gain19 = static_cast<float>(19 * static_cast<double>(0.005882353f) + 0.5);
    const float gain5 = static_cast<float>(5 * static_cast<double>(0.005882353f) + 0.5);
    EXPECT_EQ(GainOffsetPixel(42, gain19, 16.0f), 42);
    EXPECT_EQ(GainOffsetPixel(3722, gain5, 16.0f * 75 - 2048), 1356);

    ImageBuilder image(3, kPlainId, 2, 1);
    image.Codes(0, 129, 19).Codes(1, 75, 5);
    Calibration cal = Loaded(image);
    std::vector<int32_t> frame = {42, 3722};
    CorrectFrame(frame.data(), frame.size(), cal, 0, 2, {});
    EXPECT_EQ(frame, (std::vector<int32_t>{4095 - 42, 4095 - 1356}));
}

TEST(GainCorrection, DividesAndClampsTo4095) {
    ImageBuilder image(2, kPlainId, 4, 1);
    image.GainReference(4160).Level(0, 2160).Level(1, 2160).Level(2, 4160).Level(3, 4160);
    Calibration cal = Loaded(image);
    std::vector<int32_t> frame = {1000, 2048, 4095, 70000};
    CorrectFrame(frame.data(), frame.size(), cal, 0, 2, {});
    // 1000 / 0.5 = 2000; 2048 / 0.5 = 4096 -> 4095; 4095; 70000 -> 4095; then inverted.
    EXPECT_EQ(frame, (std::vector<int32_t>{2095, 0, 0, 0}));
}

TEST(GainCorrection, DefectFillTakesTheNeighbourTheRulesAllow) {
    // Row 0: pixel 1 defective with a defective pixel below takes its (corrected) left
    // neighbour; pixel 0 with both lower and right neighbours defective keeps its raw value.
    ImageBuilder image(2, kPlainId, 3, 2);
    image.GainReference(4160).FillLevels(6, 2160); // gain 0.5
    image.Level(0, 0).Level(1, 0).Level(3, 0).Level(4, 0);
    Calibration cal = Loaded(image);
    std::vector<int32_t> frame = {7, 8, 100, 40, 50, 60};
    ApplyGainCorrection(frame.data(), cal.set);
    EXPECT_EQ(frame, (std::vector<int32_t>{7, 7, 200, 7, 7, 120}));

    // Row 0 takes the pixel below, still uncorrected; column 0 may take its right neighbour,
    // still uncorrected; later rows take the corrected pixel above.
    ImageBuilder other(2, kPlainId, 3, 2);
    other.GainReference(4160).FillLevels(6, 2160);
    other.Level(0, 0).Level(3, 0).Level(2, 0);
    Calibration cal2 = Loaded(other);
    std::vector<int32_t> f2 = {1, 10, 2, 40, 50, 60};
    ApplyGainCorrection(f2.data(), cal2.set);
    // Pixel 0: below defective, no left, right sound -> raw 10. Pixel 2: below sound -> raw 60
    // (uncorrected). Pixel 3 takes the 10 above; pixel 5 is corrected itself.
    EXPECT_EQ(f2, (std::vector<int32_t>{10, 20, 60, 10, 100, 120}));
}

TEST(LegacyCorrection, PipelineAndDefectMark) {
    ImageBuilder image(2, kPlainId, 3, 3);
    image.GainReference(3160).FillLevels(9, 3160 - 16 * 5); // +5 everywhere
    image.Level(1, 0).Level(4, 0);                          // defects at (0,1) and (1,1)
    image.BadColumns({2}).Word(88 + 20, static_cast<uint32_t>(-12));
    Calibration cal = LoadedLegacy(image);
    std::vector<int32_t> frame = {100, 999, 300, 400, 999, 600, 700, 800, 5000};
    EXPECT_TRUE(CorrectLegacyFrame(frame.data(), frame.size(), cal, 1));
    // Offsets +5 and clamp; (0,1): below is defective -> left (corrected 105); (1,1): above.
    // Inverted, then column 2 lowered by 12 without clamping.
    EXPECT_EQ(frame, (std::vector<int32_t>{3990, 3990, 3790 - 12, 3690, 3990, 3490 - 12, 3390, 3290,
                                           0 - 12}));

    std::vector<int32_t> flagZero = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    CorrectLegacyFrame(flagZero.data(), flagZero.size(), cal, 0);
    EXPECT_EQ(flagZero,
              (std::vector<int32_t>{4094, 4093, 4092, 4091, 4090, 4089, 4088, 4087, 4086}));
}

TEST(LegacyCorrection, ANeighbourWithAZeroOffsetIsSound) {
    // Zero offsets are ordinary pixels in the legacy map: the defect below (0,0) is the mark.
    ImageBuilder image(2, kPlainId, 2, 2);
    image.GainReference(3160).FillLevels(4, 3160).Level(0, 0).Level(2, 0);
    Calibration cal = LoadedLegacy(image);
    std::vector<int32_t> frame = {1, 2, 3, 4};
    CorrectLegacyFrame(frame.data(), frame.size(), cal, 1);
    // (0,0): below defective, no left, right sound (offset 0) -> raw 2; (1,0) takes above.
    EXPECT_EQ(frame, (std::vector<int32_t>{4093, 4093, 4093, 4091}));
}

TEST(Orientation, KeyExamplesAndTheTurn) {
    EXPECT_EQ(OrientationKey(0x01000000), 1u);
    EXPECT_EQ(OrientationKey(0x00000060), 100663296u);
    EXPECT_EQ(OrientationKey(0x12345678), (0x78u << 20) | (0x56u << 12) | (0x4u << 8) | 0x12u);
    EXPECT_FALSE(NeedsTurn(0x01000000));
    EXPECT_TRUE(NeedsTurn(0x00000060));
    EXPECT_FALSE(NeedsTurn(0x0000005F)); // 99614720

    Calibration turned = PlusThirtyTwo(3, 1, 0x00000060);
    std::vector<int32_t> frame = {1, 2, 3};
    CorrectFrame(frame.data(), frame.size(), turned, 0, 0, {});
    EXPECT_EQ(frame, (std::vector<int32_t>{4092, 4093, 4094}));
    Calibration upright = PlusThirtyTwo(3, 1, 0x01000000);
    std::vector<int32_t> same = {1, 2, 3};
    CorrectFrame(same.data(), same.size(), upright, 0, 0, {});
    EXPECT_EQ(same, (std::vector<int32_t>{4094, 4093, 4092}));
}

// The one-pass inversion and turn equals the two passes, odd and even counts (below, at and
// around the eight-value steps of the vector loop) and values outside 0..4095 included.
TEST(Orientation, InvertAndTurnInOnePassEqualsTwoPasses) {
    const int32_t kinds[] = {0, 4095, 4096, -1, 17, 2048, INT32_MIN, INT32_MAX, 4094, 1};
    std::vector<int32_t> values(41);
    for (std::size_t i = 0; i < values.size(); ++i) {
        // Distinct in-range values between the special ones show a wrong order.
        values[i] = i % 2 == 0 ? kinds[(i / 2) % 10] : static_cast<int32_t>(i * 97);
    }
    for (std::size_t count = 0; count <= values.size(); ++count) {
        std::vector<int32_t> twoPasses(values.begin(),
                                       values.begin() + static_cast<std::ptrdiff_t>(count));
        std::vector<int32_t> onePass = twoPasses;
        InvertFrame(twoPasses.data(), count);
        TurnFrame(twoPasses.data(), count);
        InvertAndTurnFrame(onePass.data(), count);
        EXPECT_EQ(onePass, twoPasses) << count << " values";
        std::vector<int32_t> expected(count);
        for (std::size_t i = 0; i < count; ++i) {
            const uint32_t v = static_cast<uint32_t>(values[count - 1 - i]);
            expected[i] = v <= 4095u ? static_cast<int32_t>(4095u - v) : 0;
        }
        EXPECT_EQ(twoPasses, expected) << count << " values";
    }
}

TEST(SensorTypeTable, GeometryByTypeWithUnknownTypesAsTwo) {
    EXPECT_EQ(SensorTypeTable(0x100000).width, 999);
    EXPECT_EQ(SensorTypeTable(0x100000).height, 664);
    EXPECT_EQ(SensorTypeTable(0x200000).width, 1201);
    EXPECT_EQ(SensorTypeTable(0x312345).width, 999);
    EXPECT_EQ(SensorTypeTable(0x400000).height, 861);
    for (uint32_t type : {0u, 5u, 9u, 15u}) {
        EXPECT_EQ(SensorTypeForGeometry(type << 20), 2);
        EXPECT_EQ(SensorTypeTable(type << 20).width, 1201);
        EXPECT_EQ(SensorTypeTable(type << 20).height, 861);
    }
}

TEST(CorrectFrame, BeforeAnyCalibrationTheFrameIsDeliveredAsRead) {
    Calibration fresh;
    std::vector<int32_t> frame = {1, 2, 3, 70000};
    NoticeLog log;
    CorrectionServices services{&EnhanceRecorder::Enhance, log.Callback()};
    EXPECT_TRUE(CorrectFrame(frame.data(), frame.size(), fresh, 0xFFFFFFFF, 1, services));
    EXPECT_EQ(frame, (std::vector<int32_t>{1, 2, 3, 70000}));
    EXPECT_TRUE(log.notices.empty());
    EXPECT_TRUE(CorrectLegacyFrame(frame.data(), frame.size(), fresh, 1));
    EXPECT_EQ(frame[3], 70000);
}

// Unsafe inputs.

TEST(CorrectionUnsafeInput, BufferSmallerThanTheGeometryIsLeftAlone) {
    Calibration cal = PlusThirtyTwo(4, 4);
    std::vector<int32_t> frame(15, 100);
    EXPECT_FALSE(CorrectFrame(frame.data(), frame.size(), cal, 0, 1, {}));
    EXPECT_EQ(frame, std::vector<int32_t>(15, 100));
    EXPECT_FALSE(CorrectLegacyFrame(frame.data(), frame.size(), cal, 1));
    EXPECT_EQ(frame, std::vector<int32_t>(15, 100));
    EXPECT_FALSE(CorrectFrame(nullptr, 16, cal, 0, 1, {}));
    // A larger buffer: only width x height values are touched.
    std::vector<int32_t> larger(20, 1000);
    EXPECT_TRUE(CorrectFrame(larger.data(), larger.size(), cal, 0, 1, {}));
    EXPECT_EQ(larger[15], 4095 - 1032);
    EXPECT_EQ(larger[16], 1000);
}

TEST(CorrectionUnsafeInput, ANoticeThatCannotBeShownStopsNothing) {
    const NoticeCallback failing = [](const UserNotice&) { throw std::runtime_error("no box"); };
    ImageBuilder image(4, kPlainId, 2, 1);
    Calibration cal;
    EXPECT_TRUE(LoadCalibration(cal, image.data(), failing));
    EXPECT_TRUE(cal.loaded);
    std::vector<int32_t> frame = {0, 0};
    EXPECT_TRUE(CorrectFrame(frame.data(), frame.size(), cal, 1023, 0, {nullptr, failing}));
    EXPECT_EQ(frame, (std::vector<int32_t>{4095, 4095}));
}

TEST(CorrectionUnsafeInput, IncompleteSetIsNotUsedForCalibration) {
    Calibration cal = PlusThirtyTwo(4, 1);
    cal.set.gainMap.reset();
    std::vector<int32_t> frame = {10, 20, 30, 40};
    CorrectFrame(frame.data(), frame.size(), cal, 0, 1, {});
    EXPECT_EQ(frame, (std::vector<int32_t>{4085, 4075, 4065, 4055}));

    Calibration mismatch = PlusThirtyTwo(4, 1);
    mismatch.set.height = 2; // maps hold 4 entries, geometry claims 8
    std::vector<int32_t> eight(8, 10);
    CorrectFrame(eight.data(), eight.size(), mismatch, 0, 1, {});
    EXPECT_EQ(eight, std::vector<int32_t>(8, 4085));
}

TEST(CorrectFrame, PreparationRunsTheEnhancementOnceAtTheSensorSize) {
    CorrectionServices services;
    services.enhance = &EnhanceRecorder::Enhance;
    EnhanceRecorder::Reset();
    PrepareFrameCorrection(PlusThirtyTwo(140, 141), services);
    EXPECT_EQ(EnhanceRecorder::calls, 1);
    EXPECT_EQ(EnhanceRecorder::lastFlag, 1);
    EXPECT_EQ(EnhanceRecorder::lastWidth, 140);
    // No geometry, a frame too small to enhance, or no enhancement: nothing to prepare.
    PrepareFrameCorrection(Calibration{}, services);
    PrepareFrameCorrection(PlusThirtyTwo(139, 141), services);
    PrepareFrameCorrection(PlusThirtyTwo(140, 141), CorrectionServices{});
    EXPECT_EQ(EnhanceRecorder::calls, 1);
}

TEST(CorrectionUnsafeInput, SmallFramesSkipTheEnhancement) {
    EnhanceRecorder::Reset();
    CorrectionServices services{&EnhanceRecorder::Enhance, {}};
    for (auto [w, h] : {std::pair{139, 200}, std::pair{200, 139}, std::pair{1, 1}}) {
        Calibration cal = PlusThirtyTwo(w, h);
        std::vector<int32_t> frame(static_cast<size_t>(w) * h, 500);
        CorrectFrame(frame.data(), frame.size(), cal, 0, 1, services);
        EXPECT_EQ(frame[0], 4095 - 532);
    }
    EXPECT_EQ(EnhanceRecorder::calls, 0);
}

TEST(CorrectionUnsafeInput, OddGainMapsStayInRange) {
    // Negative, tiny, huge and NaN gains (a legacy map seen by CorrectFrame, or a damaged set).
    Calibration cal = PlusThirtyTwo(8, 1);
    cal.set.formatVersion = 2;
    cal.set.correctionMap = std::make_unique<float[]>(8);
    const float odd[8] = {-1.0f,
                          1e-30f,
                          1e30f,
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -0.0f,
                          4095.0f,
                          0.25f};
    for (int i = 0; i < 8; ++i) {
        cal.set.correctionMap[i] = odd[i];
    }
    std::vector<int32_t> frame = {100, 100, 100, 100, 100, 100, 100, -1};
    ApplyGainCorrection(frame.data(), cal.set);
    // -1: negative quotient -> 4095; tiny gain -> 4095; huge -> 0; NaN -> 4095; inf -> 0;
    // -0.0 is a defect: left neighbour; 100 / 4095 -> 0; 4294967295 / 0.25 -> 4095.
    EXPECT_EQ(frame, (std::vector<int32_t>{4095, 4095, 0, 4095, 0, 0, 0, 4095}));
}

TEST(CorrectionUnsafeInput, ExtremeRawValuesAndMapsInGainOffset) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int32_t x : {INT_MIN, -5000, -1, 65536, INT_MAX}) {
        for (float gain : {0.5f, 2.0f, -3.0f, 1e20f, nan}) {
            for (float offset : {-2048.0f, 2032.0f, 1e30f, nan}) {
                const int32_t v = GainOffsetPixel(x, gain, offset);
                EXPECT_TRUE(v >= 0 && v <= 4095) << x << " " << gain << " " << offset;
            }
        }
    }
}

} // namespace
} // namespace qor
