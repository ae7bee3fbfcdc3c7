// Qor.dll through its exports: demo mode, the last error, and initialisation without a sensor.
// The library state lives for the whole process, so the tests of this file run in their order of
// declaration and each says what state it leaves.
#include "driver/win/qor_api.h"

#include "driver/core/demo_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

namespace {

HANDLE DeviceHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

constexpr size_t kBufferValues = 4194304 / 4;

// Pattern values straight from their definitions.
int32_t ExpectedPixel(int pattern, int x, int y) {
    switch (pattern) {
    case 1: {
        const double d = std::sqrt((430.5 - y) * (430.5 - y) + (600.5 - x) * (600.5 - x));
        return static_cast<int32_t>((std::sin(d * static_cast<double>(0.05f)) + 1.0) * 2047.5);
    }
    case 2:
        return (x % 256) > 128 ? 4095 : 0;
    case 3:
        return (y % 256) > 128 ? 4095 : 0;
    default:
        return y < 216 ? 0 : y < 432 ? 1365 : y < 648 ? 2730 : 4095;
    }
}

TEST(QorLibrary, FirstInitialisationWithoutSensorWaitsAboutASecondAndFails) {
    EXPECT_EQ(0, GetKelvoError());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, QorInitSystem(0));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
    // The thread runs now: a second call does not wait again, and -1 is refused.
    EXPECT_EQ(nullptr, QorInitSystem(-1));
    EXPECT_EQ(nullptr, QorInitSystem(12));
    EXPECT_EQ(4100, GetKelvoError()) << "a failed open names its cause: no sensor";
}

TEST(QorLibrary, BeforeAnyCalibrationTheSensorReadsAsTypeOne) {
    EXPECT_EQ(1048576, GetImagerID());
    HWInfo info{};
    EXPECT_EQ(1, QorGetHWInfo(nullptr, &info));
    EXPECT_EQ(999, info.width);
    EXPECT_EQ(664, info.height);
    EXPECT_EQ(1, info.sensorType);
    EXPECT_EQ(1048576, info.imagerId);
    DriverVersion version{};
    EXPECT_EQ(&version, QorGetDriverVersion(&version));
    EXPECT_EQ(5, version.major);
    EXPECT_EQ(5, version.minor);
    EXPECT_EQ(0, version.build);
    EXPECT_EQ(1, QorFinishExp(nullptr));
    EXPECT_EQ(1, KelvoFinishExp());
}

TEST(QorLibrary, DeviceStatusReportsNoSlotsAndRefusesUnreadableArrays) {
    int32_t status[8];
    for (auto& s : status) {
        s = 7;
    }
    EXPECT_EQ(1, QorGetDeviceStatus(status));
    for (auto s : status) {
        EXPECT_EQ(0, s);
    }
    EXPECT_EQ(0, QorGetDeviceStatus(nullptr));
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(0, QorGetDeviceStatus(static_cast<int32_t*>(page)));
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(QorLibrary, RejectedHandlesSetTheLastErrorForGood) {
    int32_t status = 5;
    EXPECT_EQ(0, QorGetCapStatus(nullptr, &status));
    EXPECT_EQ(0, status) << "the status is cleared before the handle test";
    EXPECT_EQ(4099, GetKelvoError());
    EXPECT_EQ(1, QorSetDemoMode(0));
    EXPECT_EQ(1, GetDriverVersion(nullptr) == nullptr);
    EXPECT_EQ(4099, GetKelvoError()) << "nothing clears the last error";
    EXPECT_EQ(0, QorAcquireImage(INVALID_HANDLE_VALUE));
    EXPECT_EQ(0, QorInitSensor(nullptr));
    std::vector<int32_t> buffer(16);
    EXPECT_EQ(0, KelvoGetImgData(INVALID_HANDLE_VALUE, 64, buffer.data(), 1));
    EXPECT_EQ(0, NewKelvoGetImgData(nullptr, 64, buffer.data(), 1));
    EXPECT_EQ(4099, GetKelvoError());
}

TEST(QorLibrary, DemoModeTakesEffectAtTheNextInitialisation) {
    EXPECT_EQ(1, QorSetDemoMode(1));
    int32_t status = 0;
    EXPECT_EQ(0, QorGetCapStatus(DeviceHandle(111), &status)) << "demo mode is not active yet";
    EXPECT_EQ(DeviceHandle(qor::kDemoHandle), QorInitSystem(0));
    EXPECT_EQ(1, QorInitSensor(DeviceHandle(111)));
    HWInfo info{};
    EXPECT_EQ(1, QorGetHWInfo(DeviceHandle(111), &info));
    EXPECT_EQ(1201, info.width);
    EXPECT_EQ(861, info.height);
    EXPECT_EQ(10001000, info.imagerId);
    EXPECT_EQ(1, QorAcquireImage(DeviceHandle(111)));
    EXPECT_EQ(1, QorGetCapStatus(DeviceHandle(111), &status));
    EXPECT_EQ(1, status);
    EXPECT_EQ(1, QorCancelAcquireImage(DeviceHandle(111))) << "demo cancel returns the demo value";
}

TEST(QorLibrary, DemoImagesRunThroughThePatternsFromFour) {
    std::vector<int32_t> buffer(kBufferValues, -1);
    const int expectedOrder[] = {4, 1, 2, 3, 4, 1};
    for (int pattern : expectedOrder) {
        ASSERT_EQ(1, QorGetImgData(DeviceHandle(111), buffer.data(), 4194304));
        int mismatches = 0;
        for (int y = 0; y < 861; ++y) {
            for (int x = 0; x < 1201; ++x) {
                mismatches += buffer[size_t(y) * 1201 + x] != ExpectedPixel(pattern, x, y);
            }
        }
        EXPECT_EQ(0, mismatches) << "pattern " << pattern;
        EXPECT_EQ(-1, buffer[qor::kDemoPixelCount]) << "nothing beyond the frame";
    }
}

TEST(QorLibrary, DemoImageIsRefusedForASmallBufferWithoutTouchingIt) {
    std::vector<int32_t> buffer(qor::kDemoPixelCount - 1, -7);
    EXPECT_EQ(0, QorGetImgData(DeviceHandle(111), buffer.data(),
                               static_cast<int32_t>(buffer.size() * 4)));
    EXPECT_EQ(-7, buffer.front());
    EXPECT_EQ(-7, buffer.back());
    EXPECT_EQ(0, QorGetImgData(DeviceHandle(111), nullptr, 4194304));
    // The refused calls used up no pattern: the next image is pattern 2.
    std::vector<int32_t> image(qor::kDemoPixelCount);
    ASSERT_EQ(1, QorGetImgData(DeviceHandle(111), image.data(), 4194304 - 4 * 0));
    EXPECT_EQ(4095, image[129]);
    EXPECT_EQ(0, image[128]);
}

TEST(QorLibrary, DemoShutDownAndCancelValue) {
    EXPECT_EQ(1, QorShutDown(DeviceHandle(111)));
    EXPECT_EQ(1, QorSetDemoMode(5));
    EXPECT_EQ(DeviceHandle(111), QorInitSystem(0));
    EXPECT_EQ(5, QorCancelAcquireImage(DeviceHandle(111)));
    EXPECT_EQ(1, QorSetDemoMode(0));
    EXPECT_EQ(5, QorCancelAcquireImage(DeviceHandle(111))) << "latched until the next init";
    EXPECT_EQ(nullptr, QorInitSystem(0));
    EXPECT_EQ(0, QorCancelAcquireImage(DeviceHandle(111)));
}

}  // namespace
