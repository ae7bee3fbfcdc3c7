// QOR APP as a user meets it, under Wine with the simulated sensor: the tray icons and their
// menus, exposures stored as bitmaps, deleting, exiting and starting again, a second instance,
// the about box, and a full store.
#include "tests/e2e/qor_app_support.h"

#include "app/core/gray_bitmap.h"
#include "common/core/pipe_messages.h"
#include "external/orbel/orbel.h"
#include "tests/support/tray_robot.h"
#include "tests/support/ui_robot.h"
#include "tools/qorpipe/pipe_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using e2e::QorAppRig;
namespace fs = std::filesystem;

// Positions in the tray menu (menu 130).
enum TrayItem {
    kStatusItem, kCountItem, kDeleteAllItem, kViewItem, kTestModeItem, kRemoveItem, kActivateItem,
    kAboutItem, kExitItem
};

constexpr int kWaitMs = 20000;

bool IsGreen(const tray::Colour& c) { return c.green > c.red + 20 && c.green > c.blue + 20; }
// The error icon is red throughout; the not-connected icon is grey under a thin red cross.
bool IsRedPixel(int r, int g, int b) { return r > 140 && g < 100 && b < 100; }
bool ShowsErrorIcon(HWND icon) { return tray::ShareOfPixels(icon, IsRedPixel) > 0.3; }

std::string Artefact(const std::string& name) { return ui::ArtefactDir() + "qor_app_" + name; }

class QorAppTest : public testing::Test {
protected:
    ~QorAppTest() override {
        if (m_newImage != nullptr) {
            CloseHandle(m_newImage);
        }
    }
    HWND SensorIcon() {
        const auto icons = tray::Icons();
        return icons.empty() ? nullptr : icons.front();
    }
    // Opens the tray menu with a right click on the sensor icon and chooses an item by keys.
    void ChooseTrayItem(TrayItem item, const std::string& screenshot = {}) {
        HWND icon = SensorIcon();
        ASSERT_NE(nullptr, icon);
        tray::RightClick(icon);
        HWND menu = tray::WaitForPopupMenu(kWaitMs);
        ASSERT_NE(nullptr, menu) << "the tray menu opens on a right click";
        if (!screenshot.empty()) {
            Sleep(200);
            ui::SavePng(nullptr, Artefact(screenshot));
        }
        tray::ChooseByKeys(menu, static_cast<int>(item) + 1);
        ASSERT_TRUE(ui::WaitGone(menu, kWaitMs));
    }
    bool WaitForSensorColour(bool green) {
        return ui::WaitUntil(
            [&] {
                HWND icon = SensorIcon();
                return icon != nullptr && IsGreen(tray::MeanColour(icon)) == green;
            },
            kWaitMs);
    }
    // Presses the X-ray button and waits for the stored file; the time in between.
    double ExposeAndWait(QorAppRig& rig, uint32_t seed, size_t expectedCount) {
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(rig.Simulator().Expose(QorAppRig::kSensorName, seed, error)) << error;
        EXPECT_TRUE(rig.WaitForStoredCount(expectedCount, kWaitMs)) << "seed " << seed;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }
    // Presses the X-ray button and waits for the new-image event, as the data source does (an
    // earlier signal is dropped first); then asks the pipe at once. The pending count it
    // answers, -1 when no signal came or the pipe failed.
    int ExposeAndAskWhenAnnounced(QorAppRig& rig, uint32_t seed) {
        EXPECT_NE(nullptr, m_newImage);
        ResetEvent(m_newImage);
        std::string error;
        EXPECT_TRUE(rig.Simulator().Expose(QorAppRig::kSensorName, seed, error)) << error;
        if (WaitForSingleObject(m_newImage, kWaitMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "no new-image event after the exposure with seed " << seed;
            return -1;
        }
        qorpipe::PipeClient pipe(kWaitMs);
        qor::pipe::PendingImages pending;
        std::string problem;
        if (!pipe.Connect(problem) || !pipe.CheckPendingImages(pending, problem)) {
            ADD_FAILURE() << problem;
            return -1;
        }
        return pending.nPendingCount;
    }

    // Opened (or created) before QOR APP starts, as by a data source already waiting.
    HANDLE m_newImage = CreateEventW(nullptr, FALSE, FALSE,
                                     reinterpret_cast<const wchar_t*>(qor::pipe::kNewImageEventName));
};

// The road of a working day: a program started without a sensor, the sensor plugged and
// activated, three exposures stored exactly, removing and activating the sensor, deleting all
// images (No, then Yes), the test image, the about box, a second instance, Exit and a restart.
TEST_F(QorAppTest, WholeDayOnTheSimulatedSensor) {
    QorAppRig rig("whole_day");
    ASSERT_NE(0u, rig.Start());
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));

    // No sensor yet: the start-up says so once and shows the not-connected icon.
    HWND box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"An error occured initializing the QOR sensor", QorAppRig::BoxText(box));
    ui::SavePng(box, Artefact("no_sensor_box.png"));
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));
    ASSERT_TRUE(tray::WaitForIconCount(1, kWaitMs)) << "the sensor icon only";
    EXPECT_TRUE(WaitForSensorColour(false));
    EXPECT_FALSE(ShowsErrorIcon(SensorIcon())) << "not connected is not the error icon";
    ui::SavePng(tray::TrayWindow(kWaitMs), Artefact("tray_not_connected.png"));

    // Plugged and activated from the tray menu: the ready icon.
    rig.PlugSensor();
    ChooseTrayItem(kActivateItem, "tray_menu_not_connected.png");
    EXPECT_TRUE(WaitForSensorColour(true)) << "the ready icon after Activate Sensor";
    ui::SavePng(tray::TrayWindow(kWaitMs), Artefact("tray_ready.png"));

    // Three exposures: three bitmaps equal to the correction of the simulator's raw frames, each
    // announced by the new-image event only once the pipe counts it.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m_newImage, 0))
        << "no image yet, no announcement";
    const uint32_t seeds[] = {101, 102, 103};
    double slowest = 0;
    for (size_t i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(static_cast<int>(i + 1), ExposeAndAskWhenAnnounced(rig, seeds[i]));
        EXPECT_TRUE(rig.WaitForStoredCount(i + 1, kWaitMs)) << "seed " << seeds[i];
        slowest = std::max(slowest, std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
    }
    std::printf("exposure to announced and stored file: at most %.0f ms\n", slowest);
    const auto files = rig.StoredFiles();
    ASSERT_EQ(3u, files.size());
    for (size_t i = 0; i < 3; ++i) {
        const auto stored = e2e::ReadFileBytes(files[i]);
        EXPECT_EQ(1037722u, stored.size());
        EXPECT_TRUE(stored == rig.ExpectedBitmap(seeds[i])) << files[i];
        EXPECT_EQ(9u + 4u, files[i].filename().string().size()) << "hhmmssmmm.bmp";
    }
    // The information file lists them, oldest first, each by the number that names its file.
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    const std::string info = (rig.ImagesFolder() / "ImageInfo.ini").string();
    ASSERT_NE(0, GetImageInfo(info.c_str(), &entries, &count));
    ASSERT_EQ(3, count);
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof(name), "%.9d.bmp", static_cast<int>(entries[i].nFileNumber));
        EXPECT_EQ(files[static_cast<size_t>(i)].filename().string(), name);
        EXPECT_EQ(1, entries[i].bSelected);
    }
    FreeMem(entries);

    // The images icon came with the first image and blinks between its two pictures.
    ASSERT_TRUE(tray::WaitForIconCount(2, kWaitMs));
    HWND imagesIcon = tray::Icons().back();
    const uint64_t first = tray::PictureFingerprint(imagesIcon);
    EXPECT_TRUE(ui::WaitUntil([&] { return tray::PictureFingerprint(imagesIcon) != first; }, 3000))
        << "the images icon is animated";
    ui::SavePng(tray::TrayWindow(kWaitMs), Artefact("tray_with_images.png"));

    // Remove Sensor from the sensor icon's own menu (left button), then activate it again.
    tray::LeftClick(SensorIcon());
    HWND sensorMenu = tray::WaitForPopupMenu(kWaitMs);
    ASSERT_NE(nullptr, sensorMenu);
    Sleep(200);
    ui::SavePng(nullptr, Artefact("sensor_menu.png"));
    tray::ChooseByKeys(sensorMenu, 1);
    EXPECT_TRUE(WaitForSensorColour(false)) << "not connected after Remove Sensor";
    EXPECT_TRUE(ui::WaitUntil(
        [&] {
            return rig.Log().find("OnRemoveSensor: ShutdownAcqSystem successful.") !=
                   std::string::npos;
        },
        kWaitMs));
    EXPECT_TRUE(ui::WaitUntil(
        [] {
            for (const auto& text : tray::BalloonTexts()) {
                if (text.find(L"The QOR sensor can now be safely removed") != std::wstring::npos) {
                    return true;
                }
            }
            return false;
        },
        5000))
        << "the balloon after a successful removal";
    ChooseTrayItem(kActivateItem);
    EXPECT_TRUE(WaitForSensorColour(true));

    // The data source's road: the oldest image fetched over the pipe leaves the store.
    const auto oldestBytes = e2e::ReadFileBytes(files[0]);
    const fs::path fetched = rig.Work() / "fetched";
    ASSERT_EQ(0, rig.RunTool(L"qorpipe.exe", L"fetch --count 1 --out \"" + fetched.wstring() + L"\"",
                             kWaitMs));
    EXPECT_TRUE(e2e::ReadFileBytes(fetched / "image_001.bmp") == oldestBytes);
    EXPECT_EQ(2u, rig.StoredFiles().size());
    EXPECT_FALSE(fs::exists(files[0]));

    // Delete All Images: No keeps everything, Yes deletes the files and the images icon.
    ChooseTrayItem(kDeleteAllItem, "tray_menu_ready.png");
    HWND question = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(L"Are you sure you want to delete all the images?", QorAppRig::BoxText(question));
    ui::SavePng(question, Artefact("delete_all_question.png"));
    ui::Press(question, 24);
    ASSERT_TRUE(ui::WaitGone(question, kWaitMs));
    Sleep(300);
    EXPECT_EQ(2u, rig.StoredFiles().size()) << "No deletes nothing";
    ChooseTrayItem(kDeleteAllItem);
    question = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, question);
    ui::Press(question, 23);
    EXPECT_TRUE(rig.WaitForStoredCount(0, kWaitMs)) << "Yes deletes every file";
    EXPECT_TRUE(tray::WaitForIconCount(1, kWaitMs)) << "and removes the images icon";

    // The test mode: no "./TestImage.bmp" is an internal error, a 24-bit bitmap a wrong
    // component; a valid one is stored as it is.
    ChooseTrayItem(kTestModeItem);
    box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"An internal software error has occurred!", QorAppRig::BoxText(box));
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));
    {
        // A 2 x 2 bitmap of 24 bits per pixel.
        uint8_t colour[54 + 16] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                   2,   0,   0,  0, 2, 0, 0, 0, 1, 0, 24, 0};
        FILE* out = _wfopen((rig.Work() / "TestImage.bmp").c_str(), L"wb");
        ASSERT_NE(nullptr, out);
        std::fwrite(colour, 1, sizeof(colour), out);
        std::fclose(out);
    }
    ChooseTrayItem(kTestModeItem);
    box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"One or more software components are missing! Reboot or reinstall the QOR driver "
              L"suite.",
              QorAppRig::BoxText(box));
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));
    EXPECT_EQ(0u, rig.StoredFiles().size());
    std::vector<int32_t> ramp(300 * 200);
    for (size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<int32_t>(i % 4096);
    }
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    ASSERT_EQ(1, MakeGray8Bitmap(ramp.data(), static_cast<int32_t>(ramp.size()), 300, 200, &bitmap,
                                 &record));
    const std::vector<uint8_t> testImage(bitmap, bitmap + record.nImageSize);
    std::free(bitmap);
    {
        FILE* out = _wfopen((rig.Work() / "TestImage.bmp").c_str(), L"wb");
        ASSERT_NE(nullptr, out);
        std::fwrite(testImage.data(), 1, testImage.size(), out);
        std::fclose(out);
    }
    ChooseTrayItem(kTestModeItem);
    ASSERT_TRUE(rig.WaitForStoredCount(1, kWaitMs));
    EXPECT_TRUE(e2e::ReadFileBytes(rig.StoredFiles().front()) == testImage);

    // The about box shows the sensor and the driver.
    ChooseTrayItem(kAboutItem);
    HWND about = rig.WaitForDialog(L"About", kWaitMs);
    ASSERT_NE(nullptr, about);
    EXPECT_EQ(std::to_wstring(QorAppRig::kImagerId), ui::Text(ui::Child(about, 1007)));
    EXPECT_EQ(L"2 [1201 * 861]", ui::Text(ui::Child(about, 1008)));
    EXPECT_EQ(L"5.5.0", ui::Text(ui::Child(about, 1009)));
    Sleep(300);
    ui::SavePng(about, Artefact("about_box.png"));
    ui::Press(about, IDOK);
    ASSERT_TRUE(ui::WaitGone(about, kWaitMs));

    // A second start ends at once and leaves the first alone.
    EXPECT_EQ(0, rig.StartAnotherAndWait(kWaitMs));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(rig.Process(), 0));

    // Exit keeps the stored file; the next start shows the images icon with it again.
    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs)) << "Exit QOR ends the program";
    EXPECT_TRUE(tray::WaitForIconCount(0, kWaitMs)) << "both icons are gone";
    EXPECT_EQ(1u, rig.StoredFiles().size());
    const std::string log = rig.Log();
    EXPECT_NE(std::string::npos, log.find("OnExitqor: Pipe Comm Thread exited successfully."));
    EXPECT_NE(std::string::npos, log.find("ShutdownAcqSystem: Image Acq Thread exited successfully."));

    ASSERT_NE(0u, rig.Start());
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));
    EXPECT_TRUE(tray::WaitForIconCount(2, kWaitMs)) << "the stored image is loaded again";
    EXPECT_TRUE(WaitForSensorColour(true));
    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    EXPECT_EQ(1u, rig.StoredFiles().size());
}

// A store of 59 images from an earlier run: the 60th image raises the "transfer now" balloon,
// the 65th drops the oldest file. The program's memory with 64 images is reported.
TEST_F(QorAppTest, FullStoreWarnsAndDropsTheOldest) {
    QorAppRig rig("full_store");
    fs::create_directories(rig.ImagesFolder());
    // 59 sensor-sized bitmaps named by their times, listed in the information file.
    std::vector<int32_t> frame(1201 * 861, 2048);
    std::vector<ImageDataStruct*> records;
    for (int i = 0; i < 59; ++i) {
        auto* record = NewImageRecord();
        ASSERT_EQ(1, MakeGray8Bitmap(frame.data(), static_cast<int32_t>(frame.size()), 1201, 861,
                                     &record->pImageData, record));
        record->bSelected = 1;
        record->stTime = {2026, 1, 1, 1, 1, static_cast<uint16_t>(i / 60),
                          static_cast<uint16_t>(i % 60), 0};
        char name[32];
        std::snprintf(name, sizeof(name), "%.2d%.2d%.2d%.3d.bmp", 1, i / 60, i % 60, 0);
        FILE* out = _wfopen((rig.ImagesFolder() / name).c_str(), L"wb");
        ASSERT_NE(nullptr, out);
        std::fwrite(record->pImageData, 1, static_cast<size_t>(record->nImageSize), out);
        std::fclose(out);
        records.push_back(record);
    }
    const std::string info = (rig.ImagesFolder() / "ImageInfo.ini").string();
    StoreImageInfo(info.c_str(), records.data(), static_cast<int>(records.size()));
    for (auto* record : records) {
        FreeImageRecord(record);
    }
    const fs::path oldest = rig.StoredFiles().front();

    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));
    ASSERT_TRUE(tray::WaitForIconCount(2, kWaitMs));
    ASSERT_TRUE(WaitForSensorColour(true));

    ExposeAndWait(rig, 7, 60);
    const bool balloon = ui::WaitUntil(
        [] {
            for (const auto& text : tray::BalloonTexts()) {
                if (text.find(L"Please transfer images now!") != std::wstring::npos) {
                    return true;
                }
            }
            return false;
        },
        5000);
    ui::SavePng(nullptr, Artefact("balloon_at_60.png"));
    EXPECT_TRUE(balloon) << "the balloon of a nearly full store";
    for (uint32_t seed = 8; seed < 12; ++seed) {
        ExposeAndWait(rig, seed, 60 + (seed - 7));
    }
    const auto memory = rig.MemoryUse();
    std::printf("QOR APP with 64 images: %zu KiB private, %zu KiB working set\n",
                memory.privateBytes / 1024, memory.workingSet / 1024);
    // The 65th image is announced too, though the count stays at 64.
    EXPECT_EQ(64, ExposeAndAskWhenAnnounced(rig, 12u));
    EXPECT_TRUE(ui::WaitUntil([&] { return !fs::exists(oldest); }, kWaitMs))
        << "the 65th image drops the oldest";
    EXPECT_EQ(64u, rig.StoredFiles().size());

    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    EXPECT_EQ(64u, rig.StoredFiles().size());
}

// Exit a moment after an exposure, while the image is read and handed to the main thread: the
// image still reaches the disk and the information file, and no thread is left behind.
TEST_F(QorAppTest, ExitDuringAnExposureKeepsTheImage) {
    QorAppRig rig("exit_during_exposure");
    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    HWND mainWindow = rig.MainWindow(kWaitMs);
    ASSERT_NE(nullptr, mainWindow);
    ASSERT_TRUE(WaitForSensorColour(true));
    Sleep(500);  // armed
    std::string error;
    ASSERT_TRUE(rig.Simulator().Expose(QorAppRig::kSensorName, 21u, error)) << error;
    Sleep(200);  // captured; the program is reading it
    PostMessageW(mainWindow, WM_COMMAND, 117, 0);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    ASSERT_EQ(1u, rig.StoredFiles().size()) << "the exposed image is stored";
    EXPECT_TRUE(e2e::ReadFileBytes(rig.StoredFiles().front()) == rig.ExpectedBitmap(21));
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    const std::string info = (rig.ImagesFolder() / "ImageInfo.ini").string();
    ASSERT_NE(0, GetImageInfo(info.c_str(), &entries, &count));
    EXPECT_EQ(1, count);
    FreeMem(entries);
    const std::string log = rig.Log();
    EXPECT_NE(std::string::npos, log.find("ImageAcqThreadFunc: End of ImgAcqThreadFunction."));
    std::printf("stored during the stop: %s\n",
                log.find("read before the stop") != std::string::npos ? "yes" : "no (before)");
}

// Registry values outside what the installer writes: a "LogLevel" above 2 logs everything with
// one warning; without "InstalPath" the store lives beside the program and the log says where.
// An "Activate Sensor" command while the sensor is active starts no second thread.
TEST_F(QorAppTest, LogLevelOutOfRangeAndNoInstallationFolder) {
    QorAppRig rig("odd_registry");
    rig.Registry().SetDword(L"LogLevel", 7);
    rig.Registry().Delete(L"InstalPath");
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const fs::path fallback = fs::path(program).parent_path() / "Images";
    const bool fallbackExisted = fs::exists(fallback);
    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));
    ASSERT_TRUE(WaitForSensorColour(true));
    // "Activate Sensor" sent although the menu greys it: still one acquisition thread.
    PostMessageW(rig.MainWindow(kWaitMs), WM_COMMAND, 115, 0);
    Sleep(500);
    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    const std::string log = rig.Log();
    size_t threadsEnded = 0;
    for (size_t at = log.find("End of ImgAcqThreadFunction"); at != std::string::npos;
         at = log.find("End of ImgAcqThreadFunction", at + 1)) {
        ++threadsEnded;
    }
    EXPECT_EQ(1u, threadsEnded);
    // Two threads on one sensor would take each other's replies and outlive the shut-down.
    EXPECT_EQ(std::string::npos, log.find("API failed!")) << log;
    EXPECT_EQ(std::string::npos, log.find("Invalid pointer or handle!")) << log;
    EXPECT_NE(std::string::npos, log.find("WARN - Initialise(): LogLevel 7 is outside 0..2"));
    EXPECT_NE(std::string::npos, log.find("INFO - OnExitqor:")) << "level 0 lines are written";
    EXPECT_NE(std::string::npos, log.find("InstalPath is not readable; images are stored in"));
    EXPECT_TRUE(fs::exists(fallback));
    if (!fallbackExisted) {
        std::error_code ignored;
        fs::remove_all(fallback, ignored);
    }
}

// A sensor pulled out while armed: after three failed status queries the error icon; Remove
// Sensor and, once it is back, Activate Sensor bring the ready icon and images again.
TEST_F(QorAppTest, UnpluggedSensorShowsTheErrorIcon) {
    QorAppRig rig("unplugged");
    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));
    ASSERT_TRUE(WaitForSensorColour(true));
    Sleep(500);
    rig.UnplugSensor();
    EXPECT_TRUE(ui::WaitUntil(
        [&] {
            HWND icon = SensorIcon();
            return icon != nullptr && ShowsErrorIcon(icon);
        },
        kWaitMs))
        << "the error icon";
    ui::SavePng(tray::TrayWindow(kWaitMs), Artefact("tray_error.png"));

    tray::LeftClick(SensorIcon());
    HWND sensorMenu = tray::WaitForPopupMenu(kWaitMs);
    ASSERT_NE(nullptr, sensorMenu);
    tray::ChooseByKeys(sensorMenu, 1);
    ASSERT_TRUE(ui::WaitGone(sensorMenu, kWaitMs));
    EXPECT_TRUE(ui::WaitUntil(
        [&] { return rig.Log().find("ShutdownAcqSystem: Image Acq Thread exited") != std::string::npos; },
        kWaitMs));

    rig.PlugSensor();
    ChooseTrayItem(kActivateItem);
    ASSERT_TRUE(WaitForSensorColour(true));
    Sleep(500);
    ExposeAndWait(rig, 31, 1);
    EXPECT_TRUE(e2e::ReadFileBytes(rig.StoredFiles().front()) == rig.ExpectedBitmap(31));
    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
}

// Without the icon library the program says a component is missing and uses its own icons.
TEST_F(QorAppTest, WithoutTheIconLibraryItsOwnIcons) {
    QorAppRig rig("no_icon_library");
    rig.UseProgramCopyWithout("QorIcons.dll");
    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    HWND box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"One or more software components are missing! Reboot or reinstall the QOR driver "
              L"suite.",
              QorAppRig::BoxText(box));
    ui::Press(box, IDOK);
    ASSERT_NE(nullptr, rig.MainWindow(kWaitMs));
    EXPECT_TRUE(WaitForSensorColour(true)) << "the program's own ready icon";
    ui::SavePng(tray::TrayWindow(kWaitMs), Artefact("tray_own_icons.png"));
    ChooseTrayItem(kExitItem);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    EXPECT_NE(std::string::npos,
              rig.Log().find("WARN - CQorApp: OnInitDialog(): LoadLibrary(QorIcons) Failed"));
}

}  // namespace
