// Tests of the calibration record: header parse, the loaders, release and checksum.
#include <gtest/gtest.h>

#include <random>

#include "driver/core/calibration_record.h"
#include "reference_correction.h"
#include "test_support.h"

namespace qor {
namespace {

using test::ImageBuilder;
using test::NoticeLog;

constexpr uint32_t kType2Id = 0x00212345; // sensor type 2
constexpr uint32_t kType3Id = 0x00312345; // sensor type 3

TEST(CalibrationHeader, ParsesBigEndianWordsAndAlwaysUses136) {
    ImageBuilder image(3, kType2Id, 20, 10);
    image.Word(0, 4096).Word(36, 0xDEADBEEF).Word(128, 0x12345678).GainReference(0xABCD);
    const CalibrationHeader header = ParseCalibrationHeader(image.data());
    EXPECT_EQ(header.words[0], 136u);
    EXPECT_EQ(header.words[1], 3u);
    EXPECT_EQ(header.words[2], kType2Id);
    EXPECT_EQ(header.words[3], 20u);
    EXPECT_EQ(header.words[4], 10u);
    EXPECT_EQ(header.words[9], 0xDEADBEEFu);
    EXPECT_EQ(header.words[32], 0x12345678u);
    EXPECT_EQ(header.words[33], 0xABCDu);
}

TEST(CalibrationHeader, HeaderSizeWordOtherThan136LoadsTheSame) {
    ImageBuilder a(3, kType2Id, 8, 4);
    ImageBuilder b(3, kType2Id, 8, 4);
    a.FillCodes(32, 100, 90);
    b.FillCodes(32, 100, 90);
    b.Word(0, 0x1234);
    Calibration ca, cb;
    ASSERT_TRUE(LoadCalibration(ca, a.data(), {}));
    ASSERT_TRUE(LoadCalibration(cb, b.data(), {}));
    EXPECT_EQ(cb.set.header->words[0], 136u);
    EXPECT_EQ(cb.set.width, ca.set.width);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(cb.set.gainMap[i], ca.set.gainMap[i]);
        EXPECT_EQ(cb.set.offsetMap[i], ca.set.offsetMap[i]);
    }
}

TEST(PeekImagerId, FormatTwoOrMoreGivesTheIdElseZero) {
    EXPECT_EQ(PeekImagerId(ImageBuilder(1, kType2Id, 8, 8).data()), 0u);
    EXPECT_EQ(PeekImagerId(ImageBuilder(2, kType2Id, 8, 8).data()), kType2Id);
    EXPECT_EQ(PeekImagerId(ImageBuilder(4, kType3Id, 8, 8).data()), kType3Id);
    EXPECT_EQ(PeekImagerId(ImageBuilder(-3, kType2Id, 8, 8).data()), 0u);
}

TEST(LoadCalibration, StoresEveryHeaderField) {
    ImageBuilder image(2, kType2Id, 12, 7);
    image.Word(20, 0xF400).Word(36, 77).Word(128, 0x5A).GainReference(4160);
    image.BadRows({1, 4}).BadColumns({2, 3, 9});
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    const CalibrationSet& s = cal.set;
    EXPECT_TRUE(cal.loaded);
    EXPECT_EQ(s.imagerId, kType2Id);
    EXPECT_EQ(s.formatVersion, 2);
    EXPECT_EQ(s.width, 12);
    EXPECT_EQ(s.height, 7);
    EXPECT_EQ(s.pixelCount, 84);
    EXPECT_EQ(s.sensorSetting2, 0xF400);
    EXPECT_EQ(s.word36, 77);
    EXPECT_EQ(s.sensorSetting, 0x5A);
    EXPECT_EQ(s.gainReference, 4160);
    EXPECT_EQ(s.badRowCount, 2);
    EXPECT_EQ(s.badRows[1], 4);
    EXPECT_EQ(s.badColumnCount, 3);
    EXPECT_EQ(s.badColumns[2], 9);
    EXPECT_TRUE(s.correctionMap);
    EXPECT_FALSE(s.gainMap);
    EXPECT_FALSE(s.offsetMap);
}

TEST(LoadCalibration, SameSensorIsKeptAndAnotherReplacesIt) {
    ImageBuilder first(3, kType2Id, 8, 4);
    first.FillCodes(32, 128, 85);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, first.data(), {}));
    const float* maps = cal.set.gainMap.get();

    // Same sensor: the second image is not parsed beyond its header.
    ImageBuilder same(3, kType2Id, 16, 16);
    same.FillCodes(256, 0, 0);
    ASSERT_TRUE(LoadCalibration(cal, same.data(), {}));
    EXPECT_EQ(cal.set.gainMap.get(), maps);
    EXPECT_EQ(cal.set.width, 8);
    EXPECT_EQ(cal.set.gainMap[0], 1.0f);

    ImageBuilder other(3, kType2Id + 1, 16, 16);
    other.FillCodes(256, 0, 0);
    ASSERT_TRUE(LoadCalibration(cal, other.data(), {}));
    EXPECT_EQ(cal.set.imagerId, kType2Id + 1);
    EXPECT_EQ(cal.set.width, 16);
    EXPECT_EQ(cal.set.gainMap[0], 0.5f);
}

TEST(LoadCalibration, FormatOneNeverMatchesAndIsRebuiltEveryTime) {
    ImageBuilder image(1, kType2Id, 4, 4);
    image.GainReference(4160).FillLevels(16, 2160);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.correctionMap[0], 0.5f);
    image.FillLevels(16, 4160);
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.correctionMap[0], 1.0f);
}

TEST(LoadCalibration, ReloadZeroesFieldsTheNewImageDoesNotFill) {
    ImageBuilder format3(3, kType2Id, 4, 4);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, format3.data(), {}));
    ImageBuilder legacy(2, kType2Id + 1, 4, 4);
    ASSERT_TRUE(LoadLegacyCalibration(cal, legacy.data()));
    EXPECT_EQ(cal.set.formatVersion, 0); // not written by the legacy loader, zeroed by reload
    EXPECT_FALSE(cal.set.gainMap);
    EXPECT_FALSE(cal.set.offsetMap);
}

TEST(LoadCalibration, FormatFourWarnsWithItsVersionAndLoadsAsFormatThree) {
    ImageBuilder image(4, kType2Id, 4, 2);
    image.FillCodes(8, 128, 85);
    NoticeLog log;
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), log.Callback()));
    ASSERT_EQ(log.notices.size(), 1u);
    EXPECT_EQ(log.notices[0].title,
              "Warning: You are using an older version of qor.dll (Version = 5.5.0)");
    EXPECT_EQ(log.notices[0].text,
              "Please contact your dealer to upgrade the driver.  Qor flash version = 4");
    EXPECT_EQ(cal.set.formatVersion, 4);
    EXPECT_EQ(cal.set.gainMap[0], 1.0f);
    EXPECT_EQ(cal.set.offsetMap[0], 0.0f);

    NoticeLog quiet;
    Calibration cal3;
    ASSERT_TRUE(LoadCalibration(cal3, ImageBuilder(3, kType2Id, 4, 2).data(), quiet.Callback()));
    EXPECT_TRUE(quiet.notices.empty());
}

TEST(LoadCalibration, SensorTypesThreeAndFourAdd500ToTheWidth) {
    ImageBuilder image(3, kType3Id, 499, 664);
    // The last entry of a 999 x 664 table.
    image.Codes(999 * 664 - 1, 0, 255);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.width, 999);
    EXPECT_EQ(cal.set.height, 664);
    EXPECT_EQ(cal.set.pixelCount, 999 * 664);
    EXPECT_EQ(cal.set.gainMap[999 * 664 - 1], 2.0f);
    EXPECT_EQ(cal.set.offsetMap[999 * 664 - 1], -2048.0f);

    Calibration type4;
    ASSERT_TRUE(LoadCalibration(type4, ImageBuilder(3, 0x00400001, 701, 861).data(), {}));
    EXPECT_EQ(type4.set.width, 1201);
    // The legacy reading has no such rule.
    Calibration legacy;
    ASSERT_TRUE(LoadLegacyCalibration(legacy, ImageBuilder(2, kType3Id, 499, 664).data()));
    EXPECT_EQ(legacy.set.width, 499);
}

TEST(LoadCalibration, FormatTwoGainsRelativeToTheReference) {
    ImageBuilder image(2, kType2Id, 4, 1);
    image.GainReference(4160).Level(0, 2160).Level(1, 160).Level(2, 100).Level(3, 4160);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.correctionMap[0], 0.5f);
    EXPECT_EQ(cal.set.correctionMap[1], 0.0f);
    EXPECT_EQ(cal.set.correctionMap[2], 0.0f);
    EXPECT_EQ(cal.set.correctionMap[3], 1.0f);
}

TEST(LoadCalibration, FormatThreeCodePairs) {
    ImageBuilder image(3, kType2Id, 3, 1);
    image.Codes(0, 128, 85).Codes(1, 0, 0).Codes(2, 255, 255);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.offsetMap[0], 0.0f);
    EXPECT_EQ(cal.set.gainMap[0], 1.0f);
    EXPECT_EQ(cal.set.offsetMap[1], -2048.0f);
    EXPECT_EQ(cal.set.gainMap[1], 0.5f);
    EXPECT_EQ(cal.set.offsetMap[2], 2032.0f);
    EXPECT_EQ(cal.set.gainMap[2], 2.0f);
    // The gain and offset maps are the whole calibration: no third map is kept.
    EXPECT_FALSE(cal.set.correctionMap);
    EXPECT_TRUE(cal.set.Corrects());
}

TEST(LoadCalibration, MapsMatchTheLiteralReadingForRandomTables) {
    std::mt19937 rng(7);
    for (int32_t format : {1, 2, 3, 4}) {
        ImageBuilder image(format, kType2Id, 37, 23);
        image.GainReference(static_cast<uint16_t>(161 + rng() % 60000)).RandomTable(37 * 23, rng);
        Calibration cal;
        ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
        const reference::Maps maps = reference::BuildMaps(image.data(), 37 * 23, format, false);
        for (int i = 0; i < 37 * 23; ++i) {
            if (format < 3) {
                ASSERT_EQ(cal.set.correctionMap[i], maps.correction[i]) << format << " " << i;
            } else {
                ASSERT_EQ(cal.set.gainMap[i], maps.gain[i]) << i;
                ASSERT_EQ(cal.set.offsetMap[i], maps.offset[i]) << i;
            }
        }
    }
}

TEST(LoadLegacyCalibration, OffsetsAndDefectMark) {
    ImageBuilder image(2, kType2Id, 4, 1);
    image.GainReference(3160).Level(0, 0).Level(1, 3160).Level(2, 3000).Level(3, 3175);
    Calibration cal;
    cal.set.formatVersion = 7; // left as it was: this loader does not write it
    ASSERT_TRUE(LoadLegacyCalibration(cal, image.data()));
    EXPECT_EQ(cal.set.correctionMap[0], 4095.0f);
    EXPECT_EQ(cal.set.correctionMap[1], 0.0f);
    EXPECT_EQ(cal.set.correctionMap[2], 10.0f);
    EXPECT_EQ(cal.set.correctionMap[3], 0.0f); // -15 / 16 truncates toward zero
    EXPECT_EQ(cal.set.formatVersion, 7);
    EXPECT_FALSE(cal.set.gainMap);

    std::mt19937 rng(3);
    ImageBuilder random(2, kType2Id, 31, 9);
    random.GainReference(static_cast<uint16_t>(rng())).RandomTable(31 * 9, rng);
    Calibration rc;
    ASSERT_TRUE(LoadLegacyCalibration(rc, random.data()));
    const reference::Maps maps = reference::BuildMaps(random.data(), 31 * 9, 2, true);
    for (int i = 0; i < 31 * 9; ++i) {
        ASSERT_EQ(rc.set.correctionMap[i], maps.correction[i]) << i;
    }
}

TEST(LoadLegacyCalibration, KeepsOnlyForFormatExactlyTwo) {
    ImageBuilder image(2, kType2Id, 4, 1);
    Calibration cal;
    ASSERT_TRUE(LoadLegacyCalibration(cal, image.data()));
    const float* map = cal.set.correctionMap.get();
    ASSERT_TRUE(LoadLegacyCalibration(cal, image.data()));
    EXPECT_EQ(cal.set.correctionMap.get(), map);
    image.Word(4, 3);
    image.Word(16, 2); // a reload shows in the geometry
    ASSERT_TRUE(LoadLegacyCalibration(cal, image.data()));
    EXPECT_EQ(cal.set.height, 2);
}

TEST(ReleaseCalibration, FreesEverythingAndClearsTheIdentity) {
    Calibration cal;
    EXPECT_EQ(cal.set.imagerId, 0x100000u);
    ASSERT_TRUE(LoadCalibration(cal, ImageBuilder(3, kType2Id, 4, 4).data(), {}));
    ReleaseCalibration(cal);
    EXPECT_FALSE(cal.loaded);
    EXPECT_EQ(cal.set.imagerId, 0u);
    EXPECT_FALSE(cal.set.correctionMap);
    EXPECT_FALSE(cal.set.header);
    EXPECT_FALSE(cal.set.gainMap);
    EXPECT_FALSE(cal.set.offsetMap);
}

TEST(CalibrationChecksum, XorOfAllButTheLastByte) {
    std::vector<uint8_t> image(kCalibrationImageSize, 0);
    EXPECT_EQ(CalibrationChecksum(image.data()), 0);
    image[0] = 0x0F;
    image[0x1FFFFE] = 0xF1;
    image[0x1FFFFF] = 0xAA; // the checksum byte itself is not part of the sum
    EXPECT_EQ(CalibrationChecksum(image.data()), 0xFE);
    // Every byte position counts, each of the eight lanes and the seven bytes after the last word.
    uint32_t state = 12345;
    uint8_t expected = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        state = state * 1103515245u + 12345u;
        image[i] = static_cast<uint8_t>(state >> 16);
        expected = static_cast<uint8_t>(expected ^ (i + 1 < image.size() ? image[i] : 0));
    }
    EXPECT_EQ(CalibrationChecksum(image.data()), expected);
    for (const size_t at : {size_t{1}, size_t{7}, size_t{0x1FFFF7}, size_t{0x1FFFF8}, size_t{0x1FFFFE}}) {
        image[at] ^= 0x5A;
        EXPECT_EQ(CalibrationChecksum(image.data()), expected ^ 0x5A) << at;
        image[at] ^= 0x5A;
    }
}

// Unsafe inputs: each handled soundly, named after what it guards against.

TEST(CalibrationUnsafeInput, GeometryBeyondTheImageIsRejected) {
    struct Case {
        int32_t width;
        int32_t height;
    };
    // 1024 x 1024 x 2 + 136 exceeds 2 MiB; the others are negative, zero or overflow.
    for (const Case c : {Case{1024, 1024}, Case{0, 10}, Case{10, 0}, Case{-4, -4},
                         Case{0x7FFFFFFF, 0x7FFFFFFF}, Case{65536, 65536}, Case{-1, 1}}) {
        Calibration cal;
        NoticeLog log;
        EXPECT_FALSE(LoadCalibration(cal, ImageBuilder(3, kType2Id, c.width, c.height).data(),
                                     log.Callback()))
            << c.width << " x " << c.height;
        EXPECT_FALSE(cal.loaded);
        EXPECT_EQ(cal.set.imagerId, 0u);
        EXPECT_EQ(cal.set.width, 0);
        EXPECT_EQ(cal.set.pixelCount, 0);
        EXPECT_FALSE(cal.set.correctionMap);
        Calibration legacy;
        EXPECT_FALSE(
            LoadLegacyCalibration(legacy, ImageBuilder(2, kType2Id, c.width, c.height).data()));
        EXPECT_FALSE(legacy.set.correctionMap);
    }
    // The largest table that fits ends exactly at the image end: 136 + 2 x 1048508 bytes.
    Calibration fits;
    EXPECT_FALSE(LoadCalibration(fits, ImageBuilder(3, kType2Id, 1048509, 1).data(), {}));
    EXPECT_TRUE(LoadCalibration(fits, ImageBuilder(3, kType2Id, 1048508, 1).data(), {}));
}

TEST(CalibrationUnsafeInput, WidthRuleOverflowIsRejected) {
    Calibration cal;
    EXPECT_FALSE(LoadCalibration(cal, ImageBuilder(3, kType3Id, 0x7FFFFFF0, 1).data(), {}));
    EXPECT_FALSE(LoadCalibration(cal, ImageBuilder(3, kType3Id, -500, 100).data(), {}));
}

TEST(CalibrationUnsafeInput, RejectedReloadDropsTheHeldSet) {
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, ImageBuilder(3, kType2Id, 8, 8).data(), {}));
    EXPECT_FALSE(LoadCalibration(cal, ImageBuilder(3, kType2Id + 1, 8, -8).data(), {}));
    EXPECT_FALSE(cal.loaded);
    EXPECT_EQ(cal.set.imagerId, 0u);
    EXPECT_EQ(cal.set.width, 0);
}

TEST(CalibrationUnsafeInput, BadLineCountsAreKeptWithinTheSlots) {
    ImageBuilder image(3, kType2Id, 8, 8);
    image.Word(40, 11).Word(44, 0x7FFFFFFF);
    Calibration cal;
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.badRowCount, 10);
    EXPECT_EQ(cal.set.badColumnCount, 10);
    image.Word(40, static_cast<uint32_t>(-1)).Word(44, static_cast<uint32_t>(-7));
    image.Word(8, kType2Id + 1);
    ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
    EXPECT_EQ(cal.set.badRowCount, 0);
    EXPECT_EQ(cal.set.badColumnCount, 0);
    image.Word(44, 6);
    Calibration legacy;
    ASSERT_TRUE(LoadLegacyCalibration(legacy, image.data()));
    EXPECT_EQ(legacy.set.badColumnCount, 5);
}

TEST(CalibrationUnsafeInput, GainReferenceAt160OrBelowGivesUnitGains) {
    for (uint16_t reference : {0, 100, 160}) {
        ImageBuilder image(2, kType2Id, 4, 1);
        image.GainReference(reference).Level(0, 0).Level(1, 161).Level(2, 4000).Level(3, 65535);
        Calibration cal;
        ASSERT_TRUE(LoadCalibration(cal, image.data(), {}));
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(cal.set.correctionMap[i], 1.0f) << reference;
        }
    }
}

int g_allocations = 0;
int g_failAt = 0;
float* FailingAllocator(std::size_t count) {
    return ++g_allocations == g_failAt ? nullptr : new float[count]();
}

TEST(CalibrationUnsafeInput, MapAllocationFailureFailsTheLoadCleanly) {
    // 1, 2: gainMap and offsetMap of format 3.
    for (int failAt : {1, 2}) {
        g_allocations = 0;
        g_failAt = failAt;
        SetMapAllocatorForTesting(FailingAllocator);
        Calibration cal;
        const bool loaded = LoadCalibration(cal, ImageBuilder(3, kType2Id, 8, 8).data(), {});
        SetMapAllocatorForTesting(nullptr);
        EXPECT_FALSE(loaded) << failAt;
        EXPECT_FALSE(cal.loaded);
        EXPECT_EQ(cal.set.imagerId, 0u);
        EXPECT_FALSE(cal.set.correctionMap);
        EXPECT_FALSE(cal.set.gainMap);
        EXPECT_FALSE(cal.set.offsetMap);
    }
    g_allocations = 0;
    g_failAt = 1;
    SetMapAllocatorForTesting(FailingAllocator);
    Calibration legacy;
    EXPECT_FALSE(LoadLegacyCalibration(legacy, ImageBuilder(2, kType2Id, 8, 8).data()));
    SetMapAllocatorForTesting(nullptr);
    EXPECT_FALSE(legacy.set.correctionMap);
}

} // namespace
} // namespace qor
