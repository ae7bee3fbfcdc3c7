// Fixture of the driver's sensor tests: an in-process bus of simulated sensors behind the
// library's SensorPort, calibration images from the generator, and a private cache folder.
#pragma once

#include "driver/core/calibration_cache.h"
#include "driver/core/frame_correction.h"
#include "driver/core/sensor_transport.h"
#include "imageproc/core/qor_image_proc.h"
#include "external/sensor_sim/core/sim_bus.h"
#include "external/sensor_sim/core/test_data.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace qor::sensortest {

namespace fs = std::filesystem;

inline std::string PathOf(int index) {
    return "\\\\?\\usb#vid_sim&pid_sim#" + std::to_string(index) +
           "#{d1f7be01-e9e2-43c4-b723-a2c5519e4e6f}";
}

// Calibration images are costly to generate: each kind is made once per test program.
inline const std::vector<uint8_t>& Flash(uint32_t imagerId = 0x00200123, int format = 3,
                                         bool legacy = false, int width = 1201, int height = 861) {
    static std::map<std::tuple<uint32_t, int, bool, int, int>, std::vector<uint8_t>> cache;
    auto& image = cache[{imagerId, format, legacy, width, height}];
    if (image.empty()) {
        qor::testdata::CalibrationParams params;
        params.imagerId = imagerId;
        params.formatVersion = format;
        params.legacy = legacy;
        params.headerWidth = width;
        params.height = height;
        if (legacy) {
            params.badColumns = {100, 700};
            params.columnCorrections = {-12, 8};
        } else {
            params.badRows = {300};
            params.badColumns = {500, 501};
        }
        image = qor::testdata::MakeCalibrationImage(params);
    }
    return image;
}

// The frame the library must deliver for an exposure with `seed`: the generator's raw frame,
// corrected independently of the sensor path (with the enhancement, processFlag 1).
inline std::vector<int32_t> ExpectedFrame(const std::vector<uint8_t>& flash, uint32_t seed,
                                          bool legacy = false) {
    Calibration calibration;
    std::vector<int32_t> frame = qor::testdata::MakeRawFrame(flash, seed, legacy);
    CorrectionServices services;
    services.enhance = QorImageProc1;
    if (legacy) {
        EXPECT_TRUE(LoadLegacyCalibration(calibration, flash.data()));
        CorrectLegacyFrame(frame.data(), frame.size(), calibration, 1, services);
    } else {
        EXPECT_TRUE(LoadCalibration(calibration, flash.data(), nullptr));
        CorrectFrame(frame.data(), frame.size(), calibration, 1023, 1, services);
    }
    return frame;
}

// A flash of the given sensor type at its real size (types 3 and 4 store width - 500).
inline const std::vector<uint8_t>& FlashOfType(uint32_t imagerId) {
    const uint32_t type = (imagerId >> 20) & 0xF;
    const bool narrow = type == 1 || type == 3;
    const int stored = (narrow ? 999 : 1201) - (type == 3 || type == 4 ? 500 : 0);
    return Flash(imagerId, 3, false, stored, narrow ? 664 : 861);
}

class SensorFixture : public ::testing::Test {
protected:
    void SetUp() override {
        port_.io = &bus_;
        cacheDir_ =
            fs::temp_directory_path() /
            ("qor-sensor-" +
             std::string(
                 ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(cacheDir_);
        fs::create_directories(cacheDir_);
        notify_ = [this](const UserNotice& notice) { notices_.push_back(notice); };
    }
    void TearDown() override { fs::remove_all(cacheDir_); }

    // Plugs sensors 0..count-1 and runs the first enumeration as the notification window does.
    void PlugSensors(int count, const std::vector<uint8_t>& flash = Flash()) {
        for (int i = 0; i < count; ++i) {
            bus_.Plug(PathOf(i), flash);
        }
        port_.devices.ApplyInitialEnumeration(EnumerateDevices(port_));
    }

    std::shared_ptr<qor::sim::SimSensor> Sensor(int index) { return bus_.Sensor(PathOf(index)); }

    DeviceHandle Open(int index) {
        std::string name = "mivonusb-";
        name += std::to_string(index);
        return OpenDevice(port_, name.c_str());
    }

    // Open sensor 0 and load its calibration as QorInitSystem does.
    DeviceHandle Initialise(Calibration& calibration, int index = 0) {
        const DeviceHandle h = Open(index);
        EXPECT_NE(h, kNoDevice);
        EXPECT_EQ(LoadSensorCalibration(port_, h, calibration, CalibrationLoader::Standard, notify_,
                                        cacheDir_),
                  1);
        SendSensorParams(port_, h, calibration);
        return h;
    }

    qor::sim::SimBus bus_;
    SensorPort port_;
    fs::path cacheDir_;
    std::vector<UserNotice> notices_;
    NoticeCallback notify_;
};

// Little-endian 32-bit argument of a logged command block, at byte `at`.
inline uint32_t Arg32(const std::vector<uint8_t>& block, size_t at) {
    return uint32_t(block[at]) | uint32_t(block[at + 1]) << 8 | uint32_t(block[at + 2]) << 16 |
           uint32_t(block[at + 3]) << 24;
}

// Command blocks of one type in a sensor's log.
inline std::vector<std::vector<uint8_t>> Logged(const qor::sim::SimSensor& sensor, uint8_t type) {
    std::vector<std::vector<uint8_t>> blocks;
    for (const auto& block : sensor.CommandLog()) {
        if (block[0] == type) {
            blocks.push_back(block);
        }
    }
    return blocks;
}

} // namespace qor::sensortest
