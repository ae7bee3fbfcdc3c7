// Calibration from the sensor: flash reads, the cache file and its checksum test, flash dump and
// flash writes.
#include "driver/core/calibration_cache.h"
#include "sensor_test_support.h"

#include <fstream>

namespace qor::sensortest {
namespace {

using qor::sim::FaultKind;
using qor::sim::FaultStep;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes, size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(count));
}

class CalibrationCacheTest : public SensorFixture {
protected:
    int32_t Load(Calibration& calibration, DeviceHandle h,
                 CalibrationLoader loader = CalibrationLoader::Standard) {
        return LoadSensorCalibration(port_, h, calibration, loader, notify_, cacheDir_);
    }
    uint32_t FlashReads(int index = 0) { return Sensor(index)->CommandCount(CmdReadFlash); }
};

TEST(CacheFileName, DecimalIdentityAndSuffixBySensorType) {
    EXPECT_EQ(CacheFileName(3149925), "3149925s.dat"); // type 3
    EXPECT_EQ(CacheFileName(2101349), "2101349.dat");  // type 2
    EXPECT_EQ(CacheFileName(0x00412345), "4268869s.dat");
    EXPECT_EQ(CacheFileName(0), "0.dat");
    EXPECT_EQ(CacheFileName(0x80300000u), "-2144337920s.dat");
}

TEST_F(CalibrationCacheTest, FirstLoadReadsTheFlashAndCachesItSecondReadsOnlyTheHeader) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    int dispatched = 0;
    port_.hooks.dispatchPendingMessage = [&] { ++dispatched; };
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_TRUE(calibration.loaded);
    EXPECT_EQ(calibration.set.imagerId, 0x00200123u);
    EXPECT_EQ(FlashReads(), 1u + 64u);
    EXPECT_EQ(dispatched, 2);
    const fs::path cache = cacheDir_ / CacheFileName(0x00200123);
    EXPECT_EQ(ReadFile(cache), Flash());

    Calibration again;
    ASSERT_EQ(Load(again, h), 1);
    EXPECT_EQ(FlashReads(), 1u + 64u + 1u) << "a cache hit reads only the 136-byte header";
    EXPECT_EQ(again.set.imagerId, 0x00200123u);
    EXPECT_EQ(dispatched, 3);
    EXPECT_TRUE(notices_.empty());
    EXPECT_EQ(Sensor(0)->RejectedTransfers(), 0u);
}

TEST_F(CalibrationCacheTest, LegacyLoaderDispatchesAroundTheFlashRead) {
    PlugSensors(1, Flash(0x00200123, 2, true));
    const DeviceHandle h = Open(0);
    int dispatched = 0;
    port_.hooks.dispatchPendingMessage = [&] { ++dispatched; };
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h, CalibrationLoader::Legacy), 1);
    EXPECT_TRUE(calibration.loaded);
    EXPECT_EQ(dispatched, 4);
}

TEST_F(CalibrationCacheTest, Identity65536IsNeverTakenFromACache) {
    PlugSensors(1, Flash(65536, 3, false, 200, 100));
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_EQ(FlashReads(), 2u * 65u);
    EXPECT_TRUE(fs::exists(cacheDir_ / "65536.dat")) << "written each time all the same";
    std::vector<uint8_t> area(kCalibrationImageSize);
    EXPECT_EQ(ReadCalibrationCache(area.data(), static_cast<int32_t>(area.size()), 65536, notify_,
                                   cacheDir_),
              0);
}

TEST_F(CalibrationCacheTest, HeaderWithoutIdentityNeverTakesAnotherSensorsCache) {
    // A format-1 header names no identity; "0.dat" holds some other sensor's valid image.
    const std::vector<uint8_t>& format1 = Flash(0x00200777, 1, false, 300, 200);
    WriteFile(cacheDir_ / "0.dat", Flash(), Flash().size());
    PlugSensors(1, format1);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_EQ(calibration.set.imagerId, 0x00200777u) << "its own flash, not 0.dat";
    EXPECT_EQ(FlashReads(), 65u);
    EXPECT_TRUE(fs::exists(cacheDir_ / CacheFileName(0x00200777)));
}

TEST_F(CalibrationCacheTest, TooShortCacheShowsItsMessageAndFallsBackToTheFlash) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    const fs::path cache = cacheDir_ / CacheFileName(0x00200123);
    for (const size_t length : {size_t{2097150}, size_t{2097151}}) {
        WriteFile(cache, Flash(), length);
        notices_.clear();
        Calibration calibration;
        const uint32_t before = FlashReads();
        ASSERT_EQ(Load(calibration, h), 1);
        ASSERT_EQ(notices_.size(), 1u) << length;
        EXPECT_EQ(notices_[0].title, "CheckSum Error");
        EXPECT_EQ(notices_[0].text, "DAT file is too short to compute the checksum");
        EXPECT_EQ(FlashReads() - before, 65u);
        EXPECT_EQ(ReadFile(cache), Flash()) << "the flash read rewrote the file";
    }
}

TEST_F(CalibrationCacheTest, AlteredByteShowsCorruptionAndTheFlashRewritesTheFile) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    std::vector<uint8_t> altered = Flash();
    altered[5000] ^= 0x10;
    const fs::path cache = cacheDir_ / CacheFileName(0x00200123);
    WriteFile(cache, altered, altered.size());
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].title, "CheckSum Error");
    EXPECT_EQ(notices_[0].text, "Dat file may be corrupted.");
    EXPECT_EQ(FlashReads(), 65u);
    EXPECT_EQ(ReadFile(cache), Flash());
}

TEST_F(CalibrationCacheTest, FormatsWithoutChecksumPassUntestedButNeverFromATruncatedFile) {
    const std::vector<uint8_t>& format2 = Flash(0x00200123, 2);
    std::vector<uint8_t> altered = format2;
    altered[0x1FFFFF] ^= 0xFF;
    WriteFile(cacheDir_ / "2097443.dat", altered, altered.size());
    std::vector<uint8_t> area(kCalibrationImageSize);
    const auto size = static_cast<int32_t>(area.size());
    EXPECT_EQ(ReadCalibrationCache(area.data(), size, 0x00200123, notify_, cacheDir_), 1);
    EXPECT_TRUE(notices_.empty());

    WriteFile(cacheDir_ / "2097443.dat", format2, 1000000);
    EXPECT_EQ(ReadCalibrationCache(area.data(), size, 0x00200123, notify_, cacheDir_), 0);
    EXPECT_TRUE(notices_.empty()) << "no checksum message for a format without checksum";
    WriteFile(cacheDir_ / "2097443.dat", format2, 0);
    EXPECT_EQ(ReadCalibrationCache(area.data(), size, 0x00200123, notify_, cacheDir_), 0);
    EXPECT_EQ(ReadCalibrationCache(nullptr, size, 0x00200123, notify_, cacheDir_), 0);
    EXPECT_EQ(ReadCalibrationCache(area.data(), 0, 0x00200123, notify_, cacheDir_), 0);
    EXPECT_EQ(ReadCalibrationCache(area.data(), size, 0x00200999, notify_, cacheDir_), 0);
}

TEST_F(CalibrationCacheTest, SmallAreaGetsItsShareAndIsNeverReadBeyond) {
    WriteFile(cacheDir_ / "2097443.dat", Flash(), Flash().size());
    std::vector<uint8_t> area(200, 0xAB);
    EXPECT_EQ(ReadCalibrationCache(area.data(), 136, 0x00200123, notify_, cacheDir_), 1);
    EXPECT_TRUE(std::equal(area.begin(), area.begin() + 136, Flash().begin()));
    EXPECT_EQ(area[136], 0xAB);
    EXPECT_EQ(area[199], 0xAB);
}

TEST_F(CalibrationCacheTest, ChecksumTestPinnedCases) {
    std::vector<uint8_t> image(kCalibrationImageSize, 0);
    image[10] = 0x5A;
    image[0x1FFFFF] = 0x5A;
    EXPECT_TRUE(VerifyCacheChecksum(0x200000, image.data(), 3, notify_));
    EXPECT_TRUE(VerifyCacheChecksum(10, image.data(), 2, notify_)) << "below format 3: untested";
    image[0x1FFFFF] = 0x5B;
    EXPECT_FALSE(VerifyCacheChecksum(0x200000, image.data(), 4, notify_));
    EXPECT_FALSE(VerifyCacheChecksum(0x1FFFFF, image.data(), 3, notify_));
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_EQ(notices_[0].text, "Dat file may be corrupted.");
    EXPECT_EQ(notices_[1].text, "DAT file is too short to compute the checksum");
    EXPECT_FALSE(VerifyCacheChecksum(0x1FFFFF, image.data(), 3, nullptr)) << "no callback";
}

TEST_F(CalibrationCacheTest, CacheThatCannotBeWrittenDoesNotStopInitialisation) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    // A folder in the way of the cache file.
    fs::create_directories(cacheDir_ / CacheFileName(0x00200123) / "x");
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_TRUE(calibration.loaded);
    EXPECT_FALSE(WriteCalibrationCache(Flash().data(), 0x200000, 0x00200123, cacheDir_));
    EXPECT_FALSE(WriteCalibrationCache(Flash().data(), 0x200000, 1, cacheDir_ / "missing"));
    EXPECT_FALSE(WriteCalibrationCache(nullptr, 0x200000, 1, cacheDir_));
    EXPECT_EQ(std::distance(fs::directory_iterator(cacheDir_), fs::directory_iterator()), 1)
        << "no temporary file is left behind";
}

TEST_F(CalibrationCacheTest, RejectedImageIsCachedUnderTheIdentityTheSetThenHolds) {
    std::vector<uint8_t> broken = Flash(0x00200123, 3, false, 200, 100);
    broken[12] = 0x7F; // width far beyond the image
    PlugSensors(1, broken);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_FALSE(calibration.loaded);
    EXPECT_EQ(calibration.set.imagerId, 0u);
    EXPECT_TRUE(fs::exists(cacheDir_ / "0.dat"));
}

TEST_F(CalibrationCacheTest, FlashFaultsDuringTheLoadEndCleanly) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    // From the tenth flash data phase on every one is lost: the loader judges what came.
    Sensor(0)->InjectFault({CmdReadFlash, FaultStep::Data, FaultKind::FailTransfer, 9, -1});
    Calibration calibration;
    EXPECT_EQ(Load(calibration, h), 1);
    EXPECT_EQ(Sensor(0)->RejectedTransfers(), 0u);
}

TEST_F(CalibrationCacheTest, RefusedWorkingMemoryReleasesTheCalibration) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    fs::remove(cacheDir_ / CacheFileName(0x00200123));
    port_.hooks.refuseAllocation = [](size_t bytes) { return bytes == kFlashStagingBytes; };
    EXPECT_EQ(Load(calibration, h), 0);
    EXPECT_FALSE(calibration.loaded);
    EXPECT_EQ(calibration.set.imagerId, 0u) << "QorInitSensor then reports no calibration";
    port_.hooks.refuseAllocation = [](size_t bytes) { return bytes == kCalibrationImageSize; };
    EXPECT_EQ(Load(calibration, h), 0);
    EXPECT_EQ(readFlashAndWriteToFile(port_, h, (cacheDir_ / "dump").string().c_str()), -1);
    EXPECT_FALSE(fs::exists(cacheDir_ / "dump"));
}

TEST_F(CalibrationCacheTest, FlashDumpWritesTheImageOrReportsFileErrors) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    const fs::path dump = cacheDir_ / "dump.bin";
    EXPECT_EQ(readFlashAndWriteToFile(port_, h, dump.string().c_str()), 0);
    EXPECT_EQ(ReadFile(dump), Flash());
    EXPECT_EQ(readFlashAndWriteToFile(port_, h, (cacheDir_ / "no" / "dir").string().c_str()), -2);
    EXPECT_EQ(readFlashAndWriteToFile(port_, h, nullptr), -2);
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(WriteFlashDump("/dev/full", Flash().data(), Flash().size()), -3);
    }
}

TEST_F(CalibrationCacheTest, InitMcsWritesTheWholeFlashAndForgetsTheOldCalibration) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(Load(calibration, h), 1);
    ASSERT_TRUE(fs::exists(cacheDir_ / CacheFileName(0x00200123)));

    // A recalibration of the same sensor: same identity, other geometry and maps.
    const std::vector<uint8_t>& image = Flash(0x00200123, 3, false, 499, 664);
    std::vector<int32_t> staging(kFlashBytes);
    for (size_t i = 0; i < staging.size(); ++i) {
        staging[i] = 0x7700 | image[i]; // high bits are ignored
    }
    EXPECT_EQ(KelvoInitMcs(port_, h, staging.data(), calibration, cacheDir_), 1);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdWriteFlash), 64u);
    EXPECT_EQ(Sensor(0)->Flash(), image);
    EXPECT_FALSE(calibration.loaded) << "the replaced calibration must not correct more images";
    EXPECT_FALSE(fs::exists(cacheDir_ / CacheFileName(0x00200123)));
    EXPECT_EQ(KelvoInitMcs(port_, h, nullptr, calibration, cacheDir_), 0);

    const uint32_t readsBefore = FlashReads();
    ASSERT_EQ(Load(calibration, h), 1);
    EXPECT_EQ(FlashReads(), readsBefore + 1u + 64u) << "the new calibration comes from the flash";
    EXPECT_EQ(calibration.set.imagerId, 0x00200123u);
    EXPECT_EQ(calibration.set.width, 499);
}

TEST_F(CalibrationCacheTest, DemoFlashFileHoldsTheStagingArrayAsIs) {
    std::vector<int32_t> staging(kFlashBytes);
    for (size_t i = 0; i < staging.size(); ++i) {
        staging[i] = static_cast<int32_t>(i * 2654435761u);
    }
    const fs::path file = cacheDir_ / "DemoFlash.dat";
    EXPECT_EQ(KelvoInitDemoMcs(staging.data(), file.string().c_str()), 1);
    const std::vector<uint8_t> bytes = ReadFile(file);
    ASSERT_EQ(bytes.size(), 0x800000u);
    for (size_t i = 0; i < staging.size(); i += 4099) {
        const uint32_t v = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
                           uint32_t(bytes[4 * i + 3]) << 24;
        ASSERT_EQ(v, static_cast<uint32_t>(staging[i]));
    }
    EXPECT_EQ(KelvoInitDemoMcs(nullptr, file.string().c_str()), 0);
    EXPECT_EQ(KelvoInitDemoMcs(staging.data(), (cacheDir_ / "no" / "f").string().c_str()), 0);
}

} // namespace
} // namespace qor::sensortest
