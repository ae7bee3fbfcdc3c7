// The message boxes of Qor.dll as a user meets them, with a UI robot answering them: the cache
// checksum boxes (then the flash is read and the cache rewritten) and the under-exposure warning
// that closes itself after five seconds, and none of them for a program that asks for none.
#include "driver/win/qor_api.h"

#include "driver/core/calibration_record.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "tests/support/box_watcher.h"
#include "tests/support/sensor_bench.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kImagerId = 0x0020200A;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void SetExposureLevel(DWORD level) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                             L"SOFTWARE\\Halvex Imaging Corp.\\QOR CD\\5.5.0", 0,
                                             nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    RegSetValueExW(key, L"Exposure Level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                   sizeof level);
    RegCloseKey(key);
}

class MessageBoxes : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = fs::temp_directory_path() / "qor_boxes_sim";
        s_work = fs::temp_directory_path() / "qor_boxes_work";
        qor::sim::PlugOptions plug;
        plug.name = "boxes";
        plug.calibration.imagerId = kImagerId;
        plug.calibration.formatVersion = 3;
        qor::sim::FitGeometryToSensorType(plug.calibration);
        std::string error;
        ASSERT_NE(nullptr, qor::test::PlugSimulatedSensor(s_root, s_work, plug, error)) << error;
        s_module = LoadLibraryW(L"Qor.dll");
        ASSERT_NE(nullptr, s_module);
    }
    static void TearDownTestSuite() { FreeLibrary(s_module); }

    template <typename Fn>
    static Fn Entry(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(s_module, name)));
    }
    static HANDLE Initialise() {
        return Entry<decltype(&::QorInitSystem)>("QorInitSystem")(0);
    }
    static void ShutDown(HANDLE device) { Entry<decltype(&::QorShutDown)>("QorShutDown")(device); }
    static fs::path CacheFile() { return s_work / (std::to_string(kImagerId) + ".dat"); }

    static inline fs::path s_root, s_work;
    static inline HMODULE s_module = nullptr;
};

TEST_F(MessageBoxes, ACorruptedCacheFileIsReportedAndRewrittenFromTheFlash) {
    HANDLE device = Initialise();
    ASSERT_NE(nullptr, device);
    ShutDown(device);
    const std::vector<uint8_t> good = ReadFile(CacheFile());
    ASSERT_EQ(qor::kCalibrationImageSize, good.size());
    std::vector<uint8_t> corrupted = good;
    corrupted[5000] ^= 0x40;
    WriteFile(CacheFile(), corrupted);

    BoxWatcher robot(L"CheckSum Error", 0);
    device = Initialise();
    robot.Join();
    ASSERT_NE(nullptr, device);
    EXPECT_TRUE(robot.Seen());
    EXPECT_EQ(L"Dat file may be corrupted.", robot.Text());
    EXPECT_EQ(good, ReadFile(CacheFile())) << "the flash copy replaces the corrupted file";
    ShutDown(device);
}

TEST_F(MessageBoxes, AShortCacheFileIsReportedAndRewritten) {
    std::vector<uint8_t> bytes = ReadFile(CacheFile());
    bytes.resize(2097150);
    WriteFile(CacheFile(), bytes);
    BoxWatcher robot(L"CheckSum Error", 0);
    HANDLE device = Initialise();
    robot.Join();
    ASSERT_NE(nullptr, device);
    EXPECT_EQ(L"DAT file is too short to compute the checksum", robot.Text());
    EXPECT_EQ(qor::kCalibrationImageSize, fs::file_size(CacheFile()));
    ShutDown(device);
}

TEST_F(MessageBoxes, TheUnderExposureWarningClosesItselfAfterFiveSeconds) {
    HANDLE device = Initialise();
    ASSERT_NE(nullptr, device);
    std::vector<int32_t> buffer(4194304 / 4);
    // A threshold above any 16-bit mean makes every frame under-exposed.
    SetExposureLevel(70000);
    for (const int pressOkAfterMs : {-1, 200}) {
        ASSERT_EQ(1, Entry<decltype(&::QorAcquireImage)>("QorAcquireImage")(device));
        std::string error;
        ASSERT_TRUE(qor::sim::SimulatorControl(s_root).Expose("boxes", 3u, error)) << error;
        BoxWatcher robot(L"Warning ( ", pressOkAfterMs);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(1, Entry<decltype(&::QorGetImgData)>("QorGetImgData")(device, buffer.data(),
                                                                         4194304));
        const auto shown = std::chrono::steady_clock::now() - start;
        robot.Join();
        EXPECT_TRUE(robot.Seen());
        EXPECT_EQ(L"Image May be Under Exposed", robot.Text());
        EXPECT_EQ(L")", robot.Title().substr(robot.Title().size() - 1));
        if (pressOkAfterMs < 0) {
            EXPECT_GE(shown, std::chrono::milliseconds(4500)) << "closed by its own timer";
            EXPECT_LT(shown, std::chrono::milliseconds(qor::test::Patience(15000)));
        } else {
            // Under emulation (a stretched patience) the press may come after the box's own
            // five seconds; only a real processor tells the two apart.
            EXPECT_LT(shown, std::chrono::milliseconds(qor::test::Patience(4000))) << "closed by the user";
        }
        // The quit request that ended the box must not linger in this thread's queue.
        MSG message;
        EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    }
    // A program that runs unattended asks for no boxes: the image comes at once, without one.
    SetEnvironmentVariableW(L"QOR_MESSAGE_BOXES", L"0");
    {
        ASSERT_EQ(1, Entry<decltype(&::QorAcquireImage)>("QorAcquireImage")(device));
        std::string error;
        ASSERT_TRUE(qor::sim::SimulatorControl(s_root).Expose("boxes", 3u, error)) << error;
        BoxWatcher robot(L"Warning ( ", 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(1, Entry<decltype(&::QorGetImgData)>("QorGetImgData")(device, buffer.data(),
                                                                         4194304));
        const auto took = std::chrono::steady_clock::now() - start;
        robot.Join();
        EXPECT_FALSE(robot.Seen()) << "QOR_MESSAGE_BOXES=0 shows no box";
        EXPECT_LT(took, std::chrono::milliseconds(qor::test::Patience(3000)));
    }
    SetEnvironmentVariableW(L"QOR_MESSAGE_BOXES", nullptr);
    SetExposureLevel(1023);
    ShutDown(device);
}

TEST_F(MessageBoxes, TheHostsQuitRequestOutlivesTheWarningAndTheInitialisation) {
    // Posted before the calls, the quit request must still be in the host's queue afterwards:
    // the box's own loop and the message pump of the calibration load leave it there.
    MSG message;
    fs::remove(CacheFile());
    PostQuitMessage(7);
    HANDLE device = Initialise();
    ASSERT_NE(nullptr, device);
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, message.wParam);

    std::vector<int32_t> buffer(4194304 / 4);
    SetExposureLevel(70000);
    ASSERT_EQ(1, Entry<decltype(&::QorAcquireImage)>("QorAcquireImage")(device));
    std::string error;
    ASSERT_TRUE(qor::sim::SimulatorControl(s_root).Expose("boxes", 4u, error)) << error;
    BoxWatcher robot(L"Warning ( ", 300);
    PostQuitMessage(8);
    EXPECT_EQ(1, Entry<decltype(&::QorGetImgData)>("QorGetImgData")(device, buffer.data(),
                                                                     4194304));
    robot.Join();
    SetExposureLevel(1023);
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(8u, message.wParam);
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    ShutDown(device);
}

}  // namespace
