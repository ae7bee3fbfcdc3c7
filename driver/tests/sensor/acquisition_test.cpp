// The polled acquisition: arming, capture status, the image-data calls and the raw read-out.
#include "driver/core/acquisition.h"
#include "sensor_test_support.h"

#include <optional>

namespace qor::sensortest {
namespace {

using qor::sim::FaultKind;
using qor::sim::FaultStep;

class AcquisitionTest : public SensorFixture {
protected:
    AcquisitionServices Services(uint32_t threshold = 1023) {
        AcquisitionServices services;
        services.exposureThreshold = [this, threshold] {
            ++thresholdReads_;
            return threshold;
        };
        services.correction.enhance = QorImageProc1;
        services.correction.notify = notify_;
        return services;
    }

    int thresholdReads_ = 0;
};

TEST_F(AcquisitionTest, ArmSendsTheByteCountOfTheSensorTypeGeometry) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    EXPECT_EQ(Arm(port_, calibration, h), 1);
    EXPECT_EQ(Sensor(0)->ArmedBytes(), 1201u * 861 * 2);

    Calibration type1;
    type1.set.imagerId = 0x00100000; // as before any load: type 1
    EXPECT_EQ(Arm(port_, type1, h), 1);
    EXPECT_EQ(Sensor(0)->ArmedBytes(), 999u * 664 * 2);

    Calibration odd;
    odd.set.imagerId = 0x00700000; // type 7 counts as 2
    EXPECT_EQ(Arm(port_, odd, h), 1);
    EXPECT_EQ(Sensor(0)->ArmedBytes(), 1201u * 861 * 2);

    const uint32_t arms = Sensor(0)->CommandCount(CmdArm);
    EXPECT_EQ(Arm(port_, calibration, kInvalidDevice), 0);
    EXPECT_EQ(port_.lastError, ErrInvalidDevice);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdArm), arms);
}

TEST_F(AcquisitionTest, ArmWithoutIdentityUsesALoadedCalibrationOrRefuses) {
    std::vector<uint8_t> anonymous = Flash(0, 3, false, 300, 200);
    PlugSensors(1, anonymous);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    ASSERT_TRUE(calibration.loaded);
    ASSERT_EQ(calibration.set.imagerId, 0u);
    EXPECT_EQ(Arm(port_, calibration, h), 1);
    EXPECT_EQ(Sensor(0)->ArmedBytes(), 300u * 200 * 2);

    ReleaseCalibration(calibration);
    const uint32_t arms = Sensor(0)->CommandCount(CmdArm);
    EXPECT_EQ(Arm(port_, calibration, h), 0);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdArm), arms);
    EXPECT_EQ(port_.lastError, ErrNotInitialised) << "no calibration, not a handle rejection";
}

TEST_F(AcquisitionTest, CapStatusFollowsTheSensor) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    Arm(port_, calibration, h);
    int32_t status = 9;
    EXPECT_EQ(QorGetCapStatus(port_, h, &status), 1);
    EXPECT_EQ(status, 0);
    int32_t raw = 9;
    EXPECT_EQ(GetKelvoCapStatus(port_, h, &raw), 1);
    EXPECT_NE(raw, 0);

    ASSERT_TRUE(Sensor(0)->Expose(5));
    EXPECT_EQ(QorGetCapStatus(port_, h, &status), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(GetKelvoCapStatus(port_, h, &raw), 1);
    EXPECT_EQ(raw, 0);

    for (const DeviceHandle bad : {kNoDevice, kInvalidDevice}) {
        port_.lastError = 0;
        status = 9;
        EXPECT_EQ(QorGetCapStatus(port_, bad, &status), 0);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(port_.lastError, ErrInvalidDevice);
        port_.lastError = 0;
        EXPECT_EQ(GetKelvoCapStatus(port_, bad, &raw), 0);
        EXPECT_EQ(port_.lastError, ErrInvalidDevice);
    }
    EXPECT_EQ(QorGetCapStatus(port_, h, nullptr), 0);
    EXPECT_EQ(GetKelvoCapStatus(port_, h, nullptr), 0);
}

TEST_F(AcquisitionTest, StatusFaultsGiveTheDocumentedReadings) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    Arm(port_, calibration, h);
    auto sensor = Sensor(0);
    int32_t status = 9, raw = 77;

    sensor->InjectFault({CmdGetStatus, FaultStep::Command, FaultKind::FailTransfer, 0, 2});
    EXPECT_EQ(QorGetCapStatus(port_, h, &status), 0);
    EXPECT_EQ(GetKelvoCapStatus(port_, h, &raw), 0);

    // A short reply carries no status byte: the preset 0 reads as captured (documented), and
    // the raw query leaves the caller's value.
    sensor->InjectFault({CmdGetStatus, FaultStep::Reply, FaultKind::ShortReply, 0, 2});
    EXPECT_EQ(QorGetCapStatus(port_, h, &status), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(GetKelvoCapStatus(port_, h, &raw), 1);
    EXPECT_EQ(raw, 77);

    // The image-data call presets non-zero, so the same reply reads as "no frame yet".
    sensor->InjectFault({CmdGetStatus, FaultStep::Reply, FaultKind::ShortReply});
    std::vector<int32_t> buffer(1201 * 861);
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, static_cast<int32_t>(buffer.size() * 4),
                              buffer.data(), 1, Services()),
              0);
    EXPECT_EQ(sensor->CommandCount(CmdReadImage), 0u);
}

TEST_F(AcquisitionTest, ImageDataDeliversTheCorrectedFrameOfTheExposure) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    Arm(port_, calibration, h);
    std::vector<int32_t> buffer(1048576, -7); // the application's 4 MiB buffer
    const auto bytes = static_cast<int32_t>(buffer.size() * 4);
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, Services()), 0)
        << "no frame yet";
    EXPECT_EQ(thresholdReads_, 0);

    ASSERT_TRUE(Sensor(0)->Expose(31337));
    ASSERT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, Services()), 1);
    EXPECT_EQ(thresholdReads_, 1);
    const std::vector<int32_t> expected = ExpectedFrame(Flash(), 31337);
    ASSERT_EQ(expected.size(), 1034061u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, Services()), 0)
        << "nothing left to read";
    EXPECT_EQ(Sensor(0)->state(), qor::sim::SimSensor::State::Open) << "frame handed over";
}

TEST_F(AcquisitionTest, ThresholdComesFromTheHookAndDefaultsTo1023) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    std::vector<int32_t> buffer(1201 * 861);
    const auto bytes = static_cast<int32_t>(buffer.size() * 4);
    Arm(port_, calibration, h);
    Sensor(0)->Expose(1);
    ASSERT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, Services(65535)), 1);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].text, "Image May be Under Exposed");

    AcquisitionServices noHook;
    noHook.correction.notify = notify_;
    Arm(port_, calibration, h);
    Sensor(0)->Expose(1);
    ASSERT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, noHook), 1);
    EXPECT_EQ(notices_.size(), 1u) << "a normal exposure against 1023 raises nothing";
}

TEST_F(AcquisitionTest, BufferChecksComeAfterTheStatusAndBeforeAnyTransfer) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    Arm(port_, calibration, h);
    Sensor(0)->Expose(1);
    std::vector<int32_t> buffer(1201 * 861);
    const auto bytes = static_cast<int32_t>(buffer.size() * 4);
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, bytes - 4, buffer.data(), 1, Services()), 0);
    EXPECT_EQ(thresholdReads_, 1) << "the threshold is fetched before the size test";
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, bytes, nullptr, 1, Services()), 0);
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, -4, buffer.data(), 1, Services()), 0);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdReadImage), 0u);
    for (const DeviceHandle bad : {kNoDevice, kInvalidDevice}) {
        port_.lastError = 0;
        EXPECT_EQ(KelvoGetImgData(port_, calibration, bad, bytes, buffer.data(), 1, Services()), 0);
        EXPECT_EQ(NewKelvoGetImgData(port_, calibration, bad, bytes, buffer.data(), 1, {}), 0);
        EXPECT_EQ(port_.lastError, ErrInvalidDevice);
    }
}

// Each way the image-data call fails leaves the one cause a program acts on (poll on, pass a
// bigger buffer, arm again, check the cable); a later success leaves it as it was.
TEST_F(AcquisitionTest, EachFailureOfTheImageDataCallLeavesItsCause) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    std::vector<int32_t> buffer(1201 * 861);
    const auto bytes = static_cast<int32_t>(buffer.size() * 4);
    struct Case {
        const char* what;
        bool expose;
        std::optional<qor::sim::InjectedFault> fault;
        int32_t bufferBytes;
        int32_t cause;
    };
    const Case cases[] = {
        {"no exposure yet", false, std::nullopt, bytes, ErrNoImageYet},
        {"status command lost", true, qor::sim::InjectedFault{CmdGetStatus, FaultStep::Command,
                                                              FaultKind::FailTransfer},
         bytes, ErrTimeout},
        {"buffer a pixel short", true, std::nullopt, bytes - 4, ErrBufferTooSmall},
        {"read-out lost", true, qor::sim::InjectedFault{CmdReadImage, FaultStep::Data,
                                                        FaultKind::FailTransfer},
         bytes, ErrReadoutFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port_.lastError = 0;
        ASSERT_EQ(Arm(port_, calibration, h), 1);
        if (c.expose) {
            ASSERT_TRUE(Sensor(0)->Expose(2));
        }
        if (c.fault) {
            Sensor(0)->InjectFault(*c.fault);
        }
        EXPECT_EQ(KelvoGetImgData(port_, calibration, h, c.bufferBytes, buffer.data(), 1, Services()),
                  0);
        EXPECT_EQ(port_.lastError, c.cause);
        Sensor(0)->SetFaults({});
        QorCancelAcquireImage(port_, h);
    }
    ASSERT_EQ(Arm(port_, calibration, h), 1);
    ASSERT_TRUE(Sensor(0)->Expose(2));
    EXPECT_EQ(KelvoGetImgData(port_, calibration, h, bytes, buffer.data(), 1, Services()), 1);
    EXPECT_EQ(port_.lastError, ErrReadoutFailed) << "nothing clears the cause";
}

TEST_F(AcquisitionTest, WithoutCalibrationOnlyTheBuffersShareIsRead) {
    PlugSensors(1);
    const DeviceHandle h = Open(0);
    Calibration none;
    none.set.imagerId = 0x00200000;
    Arm(port_, none, h);
    Sensor(0)->EnableCommandLog(true);
    Sensor(0)->Expose(3);
    std::vector<int32_t> buffer(1000, -1);
    EXPECT_EQ(KelvoGetImgData(port_, none, h, 400, buffer.data(), 1, Services()), 1);
    const auto windows = Logged(*Sensor(0), CmdReadImage);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(Arg32(windows[0], 2), 200u);
    EXPECT_EQ(buffer[100], -1) << "nothing beyond the stated size";
}

TEST_F(AcquisitionTest, LegacyImageDataUsesTheLegacyCorrection) {
    const std::vector<uint8_t>& legacy = Flash(0x00200123, 2, true);
    PlugSensors(1, legacy);
    const DeviceHandle h = Open(0);
    Calibration calibration;
    ASSERT_EQ(
        LoadSensorCalibration(port_, h, calibration, CalibrationLoader::Legacy, notify_, cacheDir_),
        1);
    Sensor(0)->SetFrameSource([&](uint32_t seed) {
        const std::vector<int32_t> raw = qor::testdata::MakeRawFrame(legacy, seed, true);
        return std::vector<uint16_t>(raw.begin(), raw.end());
    });
    Arm(port_, calibration, h);
    Sensor(0)->Expose(8);
    std::vector<int32_t> buffer(1201 * 861);
    ASSERT_EQ(NewKelvoGetImgData(port_, calibration, h, static_cast<int32_t>(buffer.size() * 4),
                                 buffer.data(), 1, Services()),
              1);
    EXPECT_EQ(thresholdReads_, 0) << "the legacy call reads no threshold";
    EXPECT_EQ(buffer, ExpectedFrame(legacy, 8, true));
}

TEST_F(AcquisitionTest, RawReadOutAndCancel) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    Arm(port_, calibration, h);
    Sensor(0)->Expose(12);
    std::vector<int32_t> buffer(1201 * 861);
    const auto bytes = static_cast<int32_t>(buffer.size() * 4);
    const uint32_t statusQueries = Sensor(0)->CommandCount(CmdGetStatus);
    ASSERT_EQ(KelvoGetRawImgData(port_, h, bytes, buffer.data()), 1);
    EXPECT_EQ(Sensor(0)->CommandCount(CmdGetStatus), statusQueries) << "no status query";
    std::vector<int32_t> raw = qor::testdata::MakeRawFrame(Flash(), 12);
    EXPECT_EQ(buffer, raw);
    EXPECT_EQ(KelvoGetRawImgData(port_, h, bytes, nullptr), 0);
    EXPECT_EQ(KelvoGetRawImgData(port_, h, -8, buffer.data()), 0);
    EXPECT_EQ(KelvoGetRawImgData(port_, h, bytes, buffer.data()), 1)
        << "no other command came between: the frame is still there";

    Arm(port_, calibration, h);
    EXPECT_EQ(QorCancelAcquireImage(port_, h), 0);
    EXPECT_EQ(Sensor(0)->state(), qor::sim::SimSensor::State::Open);
    EXPECT_FALSE(Sensor(0)->Expose(1));
}

TEST_F(AcquisitionTest, TestImageArmsThenAsksForThePattern) {
    PlugSensors(1);
    Calibration calibration;
    const DeviceHandle h = Initialise(calibration);
    EXPECT_EQ(ArmTestImage(port_, calibration, kInvalidDevice), 0);
    EXPECT_EQ(port_.lastError, ErrInvalidDevice);
    EXPECT_EQ(ArmTestImage(port_, calibration, h), 1);
    EXPECT_TRUE(Sensor(0)->TestMode());
    EXPECT_EQ(Sensor(0)->ArmedBytes(), 1201u * 861 * 2);
    Calibration none;
    EXPECT_EQ(ArmTestImage(port_, none, h), 0) << "no pixel count to arm with";
}

} // namespace
} // namespace qor::sensortest
