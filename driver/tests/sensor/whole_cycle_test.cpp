// The whole cycle over the simulator directory, with the sensor plugged, exposed and pulled out
// by the control program running as a process of its own, as a service tool or test would.
#include "driver/core/acquisition.h"
#include "external/sensor_sim/core/sim_device_io.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "sensor_test_support.h"

#include <cstdlib>
#include <fstream>
#include <thread>

namespace qor::sensortest {
namespace {

class WholeCycleTest : public SensorFixture {
protected:
    void SetUp() override {
        SensorFixture::SetUp();
        root_ = cacheDir_ / "sim";
        fs::create_directories(root_);
    }

    // One qorsim command in another process (in the Windows build, where the test runs under an
    // emulator, through the same control library in this process).
    void Control(const std::string& arguments) {
#if defined(_WIN32)
        std::istringstream words(arguments);
        std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
        qor::sim::SimulatorControl control(root_);
        std::string error;
        bool ok = false;
        if (argv[0] == "plug") {
            qor::sim::PlugOptions options;
            options.name = argv[1];
            options.calibration.imagerId = static_cast<uint32_t>(std::stoul(argv[2]));
            qor::sim::FitGeometryToSensorType(options.calibration);
            options.keepFlash = argv.size() > 3;
            ok = control.Plug(options, error);
        } else if (argv[0] == "expose") {
            ok = control.Expose(argv[1], static_cast<uint32_t>(std::stoul(argv[2])), error);
        } else if (argv[0] == "unplug") {
            ok = control.Unplug(argv[1], error);
        } else if (argv[0] == "frame-for-seed") {
            ok = control.WriteFrameForSeed(argv[1], static_cast<uint32_t>(std::stoul(argv[2])),
                                           argv[3], error);
        }
        ASSERT_TRUE(ok) << arguments << ": " << error;
#else
        std::istringstream words(arguments);
        std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
        std::string command = std::string("\"") + QORSIM_EXE + "\" --dir \"" + root_.string() +
                              "\" " + argv[0] + (argv[0] == "plug" ? " --name " : " ") + argv[1];
        if (argv[0] == "plug") {
            command += " --imager-id " + argv[2] + (argv.size() > 3 ? " --keep-flash" : "");
        } else if (argv[0] == "expose") {
            command += " --seed " + argv[2];
        } else if (argv[0] == "frame-for-seed") {
            command += " --seed " + argv[2] + " --out \"" + argv[3] + "\"";
        }
        ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
        // Another process's change reaches an open handle within the recheck time.
        std::this_thread::sleep_for(qor::sim::SimDeviceIo::kStateRecheck);
#endif
    }

    fs::path root_;
};

std::vector<int32_t> ReadInt32File(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    std::vector<int32_t> values(bytes.size() / 4);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int32_t>(uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
                                         uint32_t(bytes[4 * i + 2]) << 16 |
                                         uint32_t(bytes[4 * i + 3]) << 24);
    }
    return values;
}

TEST_F(WholeCycleTest, PlugOpenCalibrateArmExposeReadCorrectUnplug) {
    const uint32_t imagerId = 3149925; // sensor type 3: 999 x 664, cache file "...s.dat"
    ASSERT_NO_FATAL_FAILURE(Control("plug cycle " + std::to_string(imagerId)));

    qor::sim::SimDeviceIo io(root_);
    SensorPort port;
    port.io = &io;
    ASSERT_EQ(EnumerateDevices(port), 1);
    port.devices.ApplyInitialEnumeration(1);
    const DeviceHandle h = OpenDevice(port, "mivonusb-0");
    ASSERT_NE(h, kNoDevice);
    Calibration calibration;
    ASSERT_EQ(LoadSensorCalibration(port, h, calibration, CalibrationLoader::Standard, notify_,
                                    cacheDir_),
              1);
    ASSERT_TRUE(calibration.loaded);
    EXPECT_EQ(calibration.set.imagerId, imagerId);
    EXPECT_EQ(calibration.set.width, 999);
    EXPECT_TRUE(fs::exists(cacheDir_ / "3149925s.dat"));
    SendSensorParams(port, h, calibration);
    EXPECT_EQ(GetLowLevelDriverVer(port), 2);

    ASSERT_EQ(Arm(port, calibration, h), 1);
    int32_t status = -1;
    ASSERT_EQ(QorGetCapStatus(port, h, &status), 1);
    EXPECT_EQ(status, 0) << "armed, waiting for the X-ray";

    ASSERT_NO_FATAL_FAILURE(Control("expose cycle 4242"));
    ASSERT_EQ(QorGetCapStatus(port, h, &status), 1);
    EXPECT_EQ(status, 1);

    AcquisitionServices services;
    services.correction.enhance = QorImageProc1;
    services.correction.notify = notify_;
    std::vector<int32_t> buffer(1048576);
    ASSERT_EQ(KelvoGetImgData(port, calibration, h, static_cast<int32_t>(buffer.size() * 4),
                              buffer.data(), 1, services),
              1);

    // An independent correction of the raw frame the control program says the seed gives.
    const fs::path rawFile = root_ / "raw.bin";
    ASSERT_NO_FATAL_FAILURE(Control("frame-for-seed cycle 4242 " + rawFile.string()));
    std::vector<int32_t> expected = ReadInt32File(rawFile);
    ASSERT_EQ(expected.size(), 999u * 664);
    Calibration independent;
    std::ifstream flashIn(root_ / "cycle" / "flash.bin", std::ios::binary);
    const std::vector<uint8_t> flash(std::istreambuf_iterator<char>(flashIn), {});
    ASSERT_TRUE(LoadCalibration(independent, flash.data(), nullptr));
    CorrectFrame(expected.data(), expected.size(), independent, 1023, 1, services.correction);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    EXPECT_EQ(expected, ExpectedFrame(flash, 4242));

    // Pulled out while the library holds the handle: every transfer fails from now on.
    ASSERT_EQ(Arm(port, calibration, h), 1);
    ASSERT_NO_FATAL_FAILURE(Control("unplug cycle"));
    EXPECT_EQ(QorGetCapStatus(port, h, &status), 0);
    EXPECT_EQ(KelvoGetImgData(port, calibration, h, static_cast<int32_t>(buffer.size() * 4),
                              buffer.data(), 1, services),
              0);
    EXPECT_EQ(GetLowLevelDriverVer(port), -1);
    EXPECT_EQ(EnumerateDevices(port), 0);

    // Plugged in again: a new open works and takes the calibration from the cache.
    ASSERT_NO_FATAL_FAILURE(Control("plug cycle " + std::to_string(imagerId) + " keep"));
    ASSERT_EQ(EnumerateDevices(port), 1);
    const DeviceHandle again = OpenDevice(port, "mivonusb-0");
    ASSERT_NE(again, kNoDevice);
    EXPECT_NE(again, h);
    auto sensor = io.SensorFor(again);
    ASSERT_EQ(LoadSensorCalibration(port, again, calibration, CalibrationLoader::Standard, notify_,
                                    cacheDir_),
              1);
    EXPECT_EQ(sensor->CommandCount(CmdReadFlash), 1u) << "header only: the cache was used";
    EXPECT_TRUE(notices_.empty());
    CloseDevice(port, h);
    CloseDevice(port, again);
}

} // namespace
} // namespace qor::sensortest
