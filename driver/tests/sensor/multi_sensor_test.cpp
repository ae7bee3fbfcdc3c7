// More than eight sensors at once: the first eight are enumerated and each is driven on its own
// handle with its own identity, calibration and frames.
#include "driver/core/acquisition.h"
#include "external/sensor_sim/core/sim_device_io.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "sensor_test_support.h"

namespace qor::sensortest {
namespace {

// Ten sensors, sensor types 1..4 in turn, each with its own serial.
uint32_t ImagerIdOf(int index) {
    return static_cast<uint32_t>((index % 4) + 1) << 20 | static_cast<uint32_t>(0x100 + index);
}

using MultiSensorTest = SensorFixture;

TEST_F(MultiSensorTest, TenSensorsEightEnumeratedEachWithItsOwnFrames) {
    for (int i = 0; i < 10; ++i) {
        bus_.Plug(PathOf(i), FlashOfType(ImagerIdOf(i)));
    }
    const int32_t count = EnumerateDevices(port_);
    ASSERT_EQ(count, 8);
    port_.devices.ApplyInitialEnumeration(count);
    EXPECT_EQ(OpenDevice(port_, "mivonusb-8"), kNoDevice);
    EXPECT_EQ(OpenDevice(port_, "mivonusb-9"), kNoDevice);

    std::vector<DeviceHandle> handles;
    std::vector<Calibration> calibrations(8);
    for (int i = 0; i < 8; ++i) {
        handles.push_back(Open(i));
        ASSERT_NE(handles[i], kNoDevice);
        EXPECT_EQ(port_.devices.Slot(i).handle, handles[i]);
        ASSERT_EQ(LoadSensorCalibration(port_, handles[i], calibrations[i],
                                        CalibrationLoader::Standard, notify_, cacheDir_),
                  1);
        EXPECT_EQ(calibrations[i].set.imagerId, ImagerIdOf(i));
        SendSensorParams(port_, handles[i], calibrations[i]);
        ASSERT_EQ(Arm(port_, calibrations[i], handles[i]), 1);
    }
    std::vector<int32_t> status(8);
    port_.devices.DeviceStatus(status.data());
    EXPECT_EQ(status, std::vector<int32_t>(8, 1));

    // Expose them in reverse order; each delivers its own exposure.
    for (int i = 7; i >= 0; --i) {
        ASSERT_TRUE(Sensor(i)->Expose(500 + i));
    }
    std::vector<int32_t> buffer(1048576);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(KelvoGetImgData(port_, calibrations[i], handles[i],
                                  static_cast<int32_t>(buffer.size() * 4), buffer.data(), 1, {}),
                  1)
            << i;
        Calibration check;
        const std::vector<uint8_t>& flash = FlashOfType(ImagerIdOf(i));
        std::vector<int32_t> expected = qor::testdata::MakeRawFrame(flash, 500 + i);
        ASSERT_TRUE(LoadCalibration(check, flash.data(), nullptr));
        CorrectFrame(expected.data(), expected.size(), check, 1023, 1, {});
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin())) << i;
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Sensor(i)->RejectedTransfers(), 0u) << i;
    }
}

TEST_F(MultiSensorTest, TenSimulatorFoldersEightEnumeratedEachItsOwnIdentity) {
    const fs::path root = cacheDir_ / "sim";
    qor::sim::SimulatorControl control(root);
    for (int i = 0; i < 10; ++i) {
        qor::sim::PlugOptions options;
        options.name = "sensor" + std::to_string(i);
        options.calibration.imagerId = ImagerIdOf(i);
        options.calibration.headerWidth = 100;
        options.calibration.height = 50;
        options.calibration.defectPixels = 0;
        std::string error;
        ASSERT_TRUE(control.Plug(options, error)) << error;
    }
    qor::sim::SimDeviceIo io(root);
    SensorPort port;
    port.io = &io;
    ASSERT_EQ(EnumerateDevices(port), 8);
    port.devices.ApplyInitialEnumeration(8);
    for (int i = 0; i < 8; ++i) {
        std::string name = "mivonusb-";
        name += std::to_string(i);
        const DeviceHandle h = OpenDevice(port, name.c_str());
        ASSERT_NE(h, kNoDevice);
        EXPECT_EQ(ReadFlashHeader(port, h), ImagerIdOf(i)) << i; // folders sort by name
    }
}

} // namespace
} // namespace qor::sensortest
