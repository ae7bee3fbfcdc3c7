// Qor.dll with a simulated sensor, as the application and older callers use it under Windows:
// plug, initialise, arm, expose, read the corrected frame, unplug, plug again, re-initialise,
// and the timer acquisition. The library is loaded after the simulator folder is chosen.
#include "driver/win/qor_api.h"

#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "external/sensor_sim/win/device_change_broadcast.h"
#include "imageproc/core/qor_image_proc.h"
#include "tests/support/sensor_bench.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kImagerId = 0x0020100F;  // sensor type 2: 1201 x 861
constexpr int32_t kBufferBytes = 4194304;

// The entry points, looked up once the library is loaded.
struct Qor {
    HMODULE module = nullptr;
    decltype(&::QorInitSystem) initSystem;
    decltype(&::QorInitSensor) initSensor;
    decltype(&::QorGetHWInfo) getHWInfo;
    decltype(&::QorAcquireImage) acquire;
    decltype(&::QorGetCapStatus) capStatus;
    decltype(&::QorGetImgData) imgData;
    decltype(&::QorShutDown) shutDown;
    decltype(&::QorGetDeviceStatus) deviceStatus;
    decltype(&::AcquireImage) timerAcquire;
    decltype(&::TimerProc) timerProc;
    decltype(&::CancelImage) cancelImage;

    template <typename Fn>
    void Get(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
        ASSERT_NE(nullptr, reinterpret_cast<void*>(fn)) << name;
    }
    void Load() {
        module = LoadLibraryW(L"Qor.dll");
        ASSERT_NE(nullptr, module);
        Get(initSystem, "QorInitSystem");
        Get(initSensor, "QorInitSensor");
        Get(getHWInfo, "QorGetHWInfo");
        Get(acquire, "QorAcquireImage");
        Get(capStatus, "QorGetCapStatus");
        Get(imgData, "QorGetImgData");
        Get(shutDown, "QorShutDown");
        Get(deviceStatus, "QorGetDeviceStatus");
        Get(timerAcquire, "AcquireImage");
        Get(timerProc, "TimerProc");
        Get(cancelImage, "CancelImage");
    }
};

class SensorCycle : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = fs::temp_directory_path() / "qor_cycle_sim";
        s_work = fs::temp_directory_path() / "qor_cycle_work";
        qor::sim::PlugOptions plug;
        plug.name = "cycle";
        plug.calibration.imagerId = kImagerId;
        plug.calibration.formatVersion = 3;
        plug.calibration.badRows = {100, 101};
        plug.calibration.badColumns = {640};
        qor::sim::FitGeometryToSensorType(plug.calibration);
        std::string error;
        // The cache files land in s_work, the current folder.
        s_control = qor::test::PlugSimulatedSensor(s_root, s_work, plug, error).release();
        ASSERT_NE(nullptr, s_control) << error;
    }
    static void TearDownTestSuite() {
        delete s_control;
        s_control = nullptr;
    }

    static std::string InterfacePath() {
        for (const auto& sensor : s_control->List()) {
            if (sensor.name == "cycle") {
                return sensor.interfacePath;
            }
        }
        return {};
    }

    // The frame the library must deliver for an exposure: the simulator's raw frame for the
    // seed, corrected here with the sensor's own calibration from its cache file.
    static std::vector<int32_t> ExpectedFrame(uint32_t seed) {
        std::vector<int32_t> frame;
        std::string error;
        EXPECT_TRUE(s_control->FrameForSeed("cycle", seed, frame, error)) << error;
        std::ifstream cache(s_work / (std::to_string(kImagerId) + ".dat"), std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(cache)),
                                   std::istreambuf_iterator<char>());
        EXPECT_EQ(qor::kCalibrationImageSize, image.size());
        qor::Calibration calibration;
        EXPECT_TRUE(qor::LoadCalibration(calibration, image.data(), {}));
        qor::CorrectionServices services;
        services.enhance = QorImageProc1;
        qor::CorrectFrame(frame.data(), frame.size(), calibration, 1023, 1, services);
        return frame;
    }

    static inline fs::path s_root, s_work;
    static inline qor::sim::SimulatorControl* s_control = nullptr;
    static inline Qor s_qor;
};

TEST_F(SensorCycle, PlugInitialiseExposeReadUnplugAndStartAgain) {
    s_qor.Load();
    HANDLE device = s_qor.initSystem(0);
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(1, s_qor.initSensor(device));
    EXPECT_TRUE(fs::exists(s_work / (std::to_string(kImagerId) + ".dat")));
    HWInfo info{};
    ASSERT_EQ(1, s_qor.getHWInfo(device, &info));
    EXPECT_EQ(1201, info.width);
    EXPECT_EQ(861, info.height);
    int32_t slots[8] = {};
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(1, slots[0]);

    std::vector<int32_t> buffer(kBufferBytes / 4);
    int32_t status = -1;
    ASSERT_EQ(1, s_qor.acquire(device));
    ASSERT_EQ(1, s_qor.capStatus(device, &status));
    EXPECT_EQ(0, status) << "armed, no exposure yet";
    EXPECT_EQ(0, s_qor.imgData(device, buffer.data(), kBufferBytes)) << "no frame yet";
    std::string error;
    ASSERT_TRUE(s_control->Expose("cycle", 11u, error)) << error;
    ASSERT_EQ(1, s_qor.capStatus(device, &status));
    ASSERT_EQ(1, status);
    ASSERT_EQ(1, s_qor.imgData(device, buffer.data(), kBufferBytes));
    const std::vector<int32_t> expected = ExpectedFrame(11);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()))
        << "the delivered frame is the correction of the simulator's raw frame";

    // Pulled out: the slot goes, the caller's handle stays but the sensor no longer answers.
    ASSERT_TRUE(s_control->Unplug("cycle", error)) << error;
    const std::string path = InterfacePath();
    // Every library's window in the session is told; test programs running beside this one
    // have theirs.
    EXPECT_LE(1, qor::sim::BroadcastInterfaceRemoval(path));
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(0, slots[0]);
    EXPECT_EQ(0, s_qor.capStatus(device, &status));

    // Plugged in again: after shut-down and a new initialisation the images come again.
    qor::sim::PlugOptions again;
    again.name = "cycle";
    again.keepFlash = true;
    ASSERT_TRUE(s_control->Plug(again, error)) << error;
    EXPECT_LE(1, qor::sim::BroadcastInterfaceArrival(InterfacePath()));
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(1, slots[0]);
    EXPECT_EQ(1, s_qor.shutDown(device));
    device = s_qor.initSystem(0);
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(1, s_qor.initSensor(device));
    ASSERT_EQ(1, s_qor.acquire(device));
    ASSERT_TRUE(s_control->Expose("cycle", 12u, error)) << error;
    ASSERT_EQ(1, s_qor.capStatus(device, &status));
    ASSERT_EQ(1, status);
    ASSERT_EQ(1, s_qor.imgData(device, buffer.data(), kBufferBytes));
    const std::vector<int32_t> second = ExpectedFrame(12);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.begin()));
    EXPECT_EQ(1, s_qor.shutDown(device));
}

// Records the timer acquisition's messages.
struct Receiver {
    HWND window = nullptr;
    std::vector<UINT> messages;
    std::vector<LPARAM> data;
};
Receiver g_receiver;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_APP + 200 && message <= WM_APP + 202) {
        g_receiver.messages.push_back(message);
        g_receiver.data.push_back(lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeReceiverWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QorTimerReceiver";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, L"QorTimerReceiver", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

TEST_F(SensorCycle, TimerAcquisitionReportsAFrameAndTimesOutAfter1801Steps) {
    ASSERT_NE(nullptr, s_qor.module) << "runs after the cycle test";
    HANDLE device = s_qor.initSystem(0);
    ASSERT_NE(nullptr, device);
    g_receiver.window = MakeReceiverWindow();
    ASSERT_NE(nullptr, g_receiver.window);

    // Armed: the sensor's status byte is non-zero, which the timer way reads as "frame".
    ASSERT_EQ(1, s_qor.timerAcquire(device, g_receiver.window));
    s_qor.timerProc(nullptr, WM_TIMER, 0, 0);
    ASSERT_EQ(1u, g_receiver.messages.size());
    EXPECT_EQ(static_cast<UINT>(WM_APP + 200), g_receiver.messages[0]);
    EXPECT_EQ(0, g_receiver.data[0]) << "no test-image buffer is held";

    // A captured sensor answers 0: the steps count up until the time-out.
    g_receiver.messages.clear();
    ASSERT_EQ(1, s_qor.timerAcquire(device, g_receiver.window));
    std::string error;
    ASSERT_TRUE(s_control->Expose("cycle", 13u, error)) << error;
    int32_t status = 0;
    ASSERT_EQ(1, s_qor.capStatus(device, &status));
    ASSERT_EQ(1, status);
    for (int step = 1; step <= 1800; ++step) {
        s_qor.timerProc(nullptr, WM_TIMER, 0, 0);
    }
    EXPECT_TRUE(g_receiver.messages.empty());
    s_qor.timerProc(nullptr, WM_TIMER, 0, 0);
    ASSERT_EQ(1u, g_receiver.messages.size());
    EXPECT_EQ(static_cast<UINT>(WM_APP + 202), g_receiver.messages[0]);

    // After the end, a further step only records the rejected device.
    s_qor.timerProc(nullptr, WM_TIMER, 0, 0);
    EXPECT_EQ(1u, g_receiver.messages.size());
    s_qor.cancelImage(device);
    EXPECT_EQ(1, s_qor.shutDown(device));
    DestroyWindow(g_receiver.window);
}

// Runs qorctl (beside this test) and returns its exit code.
DWORD RunQorctl(std::wstring arguments) {
    std::wstring commandLine = L"qorctl.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST_F(SensorCycle, PlugsAndUnplugsFromAnotherProcessReachTheDeviceTable) {
    ASSERT_NE(nullptr, s_qor.module);
    int32_t slots[8] = {};
    ASSERT_EQ(0u, RunQorctl(L"sim plug --name other --imager-id 2101350"));
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(1, slots[0]);
    EXPECT_EQ(1, slots[1]) << "the arrival message filled the second slot";
    ASSERT_EQ(0u, RunQorctl(L"sim unplug other"));
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(1, slots[0]);
    EXPECT_EQ(0, slots[1]) << "the removal message emptied it again";
}

TEST_F(SensorCycle, TheLibraryStaysMappedWhileItsNotificationThreadRuns) {
    ASSERT_NE(nullptr, s_qor.module);
    HWND window = FindWindowW(L"EventWnd", L"Event");
    EXPECT_NE(nullptr, window);
    EXPECT_TRUE(FreeLibrary(s_qor.module));
    s_qor.module = nullptr;
    // The thread's own reference keeps the code under it: the window still answers, and a new
    // load finds the same library with its state.
    EXPECT_EQ(window, FindWindowW(L"EventWnd", L"Event"));
    EXPECT_NE(nullptr, GetModuleHandleW(L"Qor.dll"));
    s_qor.Load();
    int32_t slots[8] = {};
    ASSERT_EQ(1, s_qor.deviceStatus(slots));
    EXPECT_EQ(1, slots[0]);
}

}  // namespace
