// The tray menus of QOR APP read in the program's own process (popup menus of another process
// cannot be read under Wine): texts relabelled from the language at every opening, and which
// items are greyed, in English and in German, for a program without a sensor.
#include "app/qor_app.h"
#include "app/core/gray_bitmap.h"
#include "common/core/log_file.h"
#include "tests/e2e/qor_app_support.h"
#include "tests/support/tray_robot.h"
#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

namespace fs = std::filesystem;
constexpr int kWaitMs = 20000;

struct MenuItem {
    std::wstring text;
    bool greyed = false;
};

// Opens a menu of the program by posting the tray icon's message, reads it and closes it.
std::vector<MenuItem> ReadMenu(HWND mainWindow, UINT message, const std::string& screenshot) {
    std::vector<MenuItem> items;
    PostMessageW(mainWindow, message, 600, 500);
    HWND menuWindow = tray::WaitForPopupMenu(kWaitMs);
    if (menuWindow == nullptr) {
        return items;
    }
    Sleep(200);
    ui::SavePng(nullptr, ui::ArtefactDir() + screenshot);
    auto menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[256] = {};
        GetMenuStringW(menu, static_cast<UINT>(i), text, 256, MF_BYPOSITION);
        items.push_back({text, (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) &
                                MF_GRAYED) != 0});
    }
    tray::CloseMenu(menuWindow);
    ui::WaitGone(menuWindow, kWaitMs);
    return items;
}

// A visible box of this process with controls (the hidden main dialog has none).
HWND WaitForBox(int timeoutMs) {
    HWND found = nullptr;
    ui::WaitUntil(
        [&] {
            for (HWND window : ui::TopLevelWindows(GetCurrentProcessId())) {
                if (IsWindowVisible(window) && ui::ClassName(window) == L"#32770" &&
                    !ui::Children(window).empty()) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

struct LanguageCase {
    DWORD languageId;
    const char* name;
    std::vector<std::wstring> trayTexts;
    std::wstring sensorItem;
};

TEST(QorAppMenus, RelabelledFromTheLanguageWithTheGreyingRules) {
    const std::vector<LanguageCase> cases = {
        {1033, "english",
         {L"Sensor not connected", L"Up-loadable Images: 0", L"Delete All Images", L"View Images",
          L"Test Mode", L"Remove Sensor", L"Activate Sensor", L"About", L"Exit QOR"},
         L"Safe to remove QOR sensor now."},
        {1031, "german",
         {L"Sensor nicht angeschlossen", L"Übertragbare Bilder: 0", L"Alle Bilder löschen",
          L"Bilder anzeigen", L"Testmodus", L"Sensor entfernen", L"Sensor aktivieren", L"Info",
          L"QOR beenden"},
         L"Der QOR-Sensor kann jetzt entfernt werden."},
    };
    for (const LanguageCase& language : cases) {
        SCOPED_TRACE(language.name);
        e2e::QorAppRig rig(std::string("menus_") + language.name);
        rig.Registry().SetDword(L"LanguageID", language.languageId);
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(rig.Work().wstring().c_str());

        CQorApp* app = nullptr;
        std::thread program([&] {
            CQorApp instance;
            app = &instance;
            instance.DoModal();
            app = nullptr;
        });
        // No sensor: the start-up reports it once.
        HWND box = WaitForBox(kWaitMs);
        ASSERT_NE(nullptr, box);
        ui::Press(box, IDOK);
        ASSERT_TRUE(ui::WaitGone(box, kWaitMs));
        ASSERT_TRUE(ui::WaitUntil([&] { return app != nullptr && app->Window() != nullptr; },
                                  kWaitMs));
        HWND mainWindow = app->Window();

        const auto trayItems = ReadMenu(mainWindow, UM_TRAY_MENU,
                                        std::string("qor_app_tray_menu_") + language.name + ".png");
        ASSERT_EQ(language.trayTexts.size(), trayItems.size());
        for (size_t i = 0; i < trayItems.size(); ++i) {
            EXPECT_EQ(language.trayTexts[i], trayItems[i].text) << "item " << i;
            // Greyed without images: Delete All; without a sensor: Remove Sensor.
            EXPECT_EQ(i == 2 || i == 5, trayItems[i].greyed) << "item " << i;
        }
        const auto sensorItems = ReadMenu(mainWindow, UM_SENSOR_MENU,
                                          std::string("qor_app_sensor_menu_") + language.name +
                                              ".png");
        ASSERT_EQ(1u, sensorItems.size());
        EXPECT_EQ(language.sensorItem, sensorItems[0].text);
        EXPECT_FALSE(sensorItems[0].greyed);

        PostMessageW(mainWindow, WM_COMMAND, IDM_EXIT_QOR, 0);
        program.join();
        SetCurrentDirectoryW(previous);
    }
}

// Images that cannot be kept as the text has them: a sensor image without a geometry is not
// stored as an empty record, and a store folder that cannot be written keeps the images in memory
// and tells the user once, not once per image.
TEST(QorAppImages, NoGeometryAndAnUnwritableStore) {
    e2e::QorAppRig rig("odd_images");
    const std::string logPath = (rig.Work() / "QorAPPLog.txt").string();
    TheLogFile().Close();
    ASSERT_EQ(1, TheLogFile().Open(logPath.c_str(), 0));
    {
        CQorApp app;
        std::vector<int32_t> frame(16, 100);
        EXPECT_EQ(0, app.HandleNewImage(NewImageKind::RawSensorImage, frame.data(), 0, 0, 0));
        EXPECT_EQ(0, app.Store().GetCount()) << "nothing stored without a geometry";

        // The folder goes away and a file takes its name: no image file can be written.
        fs::remove_all(rig.ImagesFolder());
        std::ofstream(rig.ImagesFolder()) << "not a folder";
        for (int i = 0; i < 3; ++i) {
            std::vector<int32_t> pixels(8 * 4, 4095);
            uint8_t* bitmap = nullptr;
            ImageDataStruct sizes{};
            ASSERT_EQ(1, MakeGray8Bitmap(pixels.data(), 32, 8, 4, &bitmap, &sizes));
            app.HandleNewImage(NewImageKind::FinishedBitmap, bitmap, sizes.nImageSize, 0, 0);
        }
        EXPECT_EQ(3, app.Store().GetCount()) << "the images stay in memory";
        app.Store().DeleteAll(FALSE);
    }
    TheLogFile().Close();
    std::ifstream in(logPath);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, log.find("cannot be converted and is not stored"));
    size_t told = 0;
    for (size_t at = log.find("could not be written"); at != std::string::npos;
         at = log.find("could not be written", at + 1)) {
        ++told;
    }
    EXPECT_EQ(1u, told) << log;
}

}  // namespace
