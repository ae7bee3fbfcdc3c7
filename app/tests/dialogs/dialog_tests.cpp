// ConfirmBox and the about box as a person meets them, driven by the UI robot under Wine: texts,
// default button, what ends the box and what does not, layout, and screenshots as artefacts.
#include "app/about_box.h"
#include "app/confirm_box.h"

#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>

namespace {

constexpr int kWaitMs = 5000;

// Runs a modal box on its own thread, so the robot can work it from this one.
template <typename Box>
std::future<int> Open(Box box) {
    return std::async(std::launch::async, box);
}

bool StillOpen(std::future<int>& result, HWND box) {
    Sleep(300);
    return IsWindowVisible(box) &&
           result.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout;
}

void PostKey(HWND window, WPARAM key) {
    PostMessageW(window, WM_KEYDOWN, key, 0);
    PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

TEST(ConfirmBox, RefusesInvalidArgumentsWithoutShowingAnything) {
    struct Case {
        const wchar_t* text;
        const wchar_t* caption;
        int count, defaultButton;
        const wchar_t* first;
        const wchar_t* second;
    } cases[] = {
        {nullptr, L"QOR APP", 2, 1, L"Yes", L"No"}, {L"?", nullptr, 2, 1, L"Yes", L"No"},
        {L"?", L"QOR APP", 1, 2, L"Yes", nullptr},  {L"?", L"QOR APP", 2, 3, L"Yes", L"No"},
        {L"?", L"QOR APP", 2, 0, L"Yes", L"No"},    {L"?", L"QOR APP", 2, 1, nullptr, L"No"},
        {L"?", L"QOR APP", 2, 1, L"Yes", nullptr},  {L"?", L"QOR APP", 3, 1, L"Yes", L"No"},
        {L"?", L"QOR APP", 0, 1, L"Yes", L"No"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConfirmBox(c.text, c.caption, c.count, c.defaultButton, c.first, c.second), 0);
    }
    const std::wstring tooLong(65536, L'x');
    EXPECT_EQ(ConfirmBox(L"?", L"QOR APP", 1, 1, tooLong.c_str(), nullptr), 0);
}

TEST(ConfirmBox, OnlyItsButtonsEndItAndTheDefaultTakesEnter) {
    auto result = Open([] {
        return ConfirmBox(L"Are you sure you want to delete all the images?", L"QOR APP", 2, 2,
                          L"Yes", L"No");
    });
    HWND box = ui::WaitForWindow(L"QOR APP", kWaitMs);
    ASSERT_NE(box, nullptr);
    HWND yes = ui::Child(box, kConfirmFirstButtonId);
    HWND no = ui::Child(box, kConfirmSecondButtonId);
    ASSERT_NE(yes, nullptr);
    ASSERT_NE(no, nullptr);
    EXPECT_EQ(ui::Text(yes), L"Yes");
    EXPECT_EQ(ui::Text(no), L"No");
    EXPECT_NE(ui::ChildWithText(box, L"Are you sure you want to delete all the images?"), nullptr);
    EXPECT_EQ(GetWindowLongW(no, GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
    EXPECT_EQ(GetWindowLongW(yes, GWL_STYLE) & 0x0F, BS_PUSHBUTTON);
    EXPECT_NE(GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_NE(GetMenuState(GetSystemMenu(box, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED, 0u);

    // Layout: equal buttons 96 pixels apart, the row centred below the text.
    const RECT client = ui::ClientRect(box);
    const RECT first = ui::RectInParent(yes);
    const RECT second = ui::RectInParent(no);
    const RECT text = ui::RectInParent(GetWindow(box, GW_CHILD));
    EXPECT_NEAR(second.left - first.left, 96, 3);
    EXPECT_NEAR(first.right - first.left, 90, 3);
    EXPECT_NEAR(first.bottom - first.top, 26, 3);
    EXPECT_NEAR(first.left - client.left, client.right - second.right, 3);
    EXPECT_NEAR(text.left, 16, 2);
    EXPECT_NEAR(text.top, 16, 2);
    EXPECT_GE(first.top, 80);  // text area at least 70 high, then 10
    EXPECT_NEAR(client.bottom - first.bottom, 12, 3);
    ui::SavePng(box, ui::ArtefactDir() + "confirm_box_delete_all.png");

    PostKey(no, VK_ESCAPE);
    PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageW(box, WM_CLOSE, 0, 0);
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(StillOpen(result, box));
    PostKey(GetFocus() != nullptr ? GetFocus() : no, VK_RETURN);
    PostKey(no, VK_RETURN);
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    EXPECT_EQ(result.get(), 2);
    EXPECT_TRUE(ui::WaitGone(box, kWaitMs));
}

TEST(ConfirmBox, AnswersWhichButtonWasPressed) {
    struct Case {
        int count, defaultButton, press, expected;
    } cases[] = {{2, 1, kConfirmFirstButtonId, 1}, {2, 2, kConfirmFirstButtonId, 1},
                 {2, 1, kConfirmSecondButtonId, 2}, {1, 1, kConfirmFirstButtonId, 1}};
    for (const Case& c : cases) {
        auto result = Open([c] {
            return ConfirmBox(L"Are you sure you want to delete all the selected images?",
                              L"QOR APP", c.count, c.defaultButton, L"Ja", L"Nein");
        });
        HWND box = ui::WaitForWindow(L"QOR APP", kWaitMs);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(ui::Child(box, kConfirmSecondButtonId) != nullptr, c.count == 2);
        EXPECT_EQ(GetWindowLongW(ui::Child(box, kConfirmFirstButtonId), GWL_STYLE) & 0x0F,
                  c.defaultButton == 1 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        ui::Press(box, c.press);
        ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
        EXPECT_EQ(result.get(), c.expected);
        ui::WaitGone(box, kWaitMs);
    }
}

// A long question wraps inside half the screen and is shown whole.
TEST(ConfirmBox, WrapsALongQuestion) {
    std::wstring question;
    for (int i = 0; i < 40; ++i) {
        question += L"Are you sure? ";
    }
    auto result = Open([&question] { return ConfirmBox(question.c_str(), L"QOR APP", 1, 1, L"OK", nullptr); });
    HWND box = ui::WaitForWindow(L"QOR APP", kWaitMs);
    ASSERT_NE(box, nullptr);
    const RECT text = ui::RectInParent(GetWindow(box, GW_CHILD));
    const RECT button = ui::RectInParent(ui::Child(box, kConfirmFirstButtonId));
    EXPECT_LE(text.right - text.left, GetSystemMetrics(SM_CXSCREEN) / 2 + 84 + 2);
    EXPECT_GT(text.bottom - text.top, 30);
    EXPECT_GE(button.top, text.bottom + 10);
    ui::SavePng(box, ui::ArtefactDir() + "confirm_box_long_text.png");
    ui::Press(box, kConfirmFirstButtonId);
    EXPECT_EQ(result.get(), 1);
    ui::WaitGone(box, kWaitMs);
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path().wstring() + L"\\";
}

TEST(AboutBox, ShowsTheSensorTheDriverAndTheProgramInTheUsersLanguage) {
    struct Case {
        WORD language;
        BOOL valid;
        const wchar_t* caption;
        const wchar_t* sizeLabel;
        const wchar_t* sensorId;
        const wchar_t* sensorSize;
        const wchar_t* driverVersion;
        const char* screenshot;
    } cases[] = {
        {0x0409, TRUE, L"About", L"Sensor size", L"4268869", L"4 [1201 * 861]", L"5.5.0",
         "about_box_english.png"},
        {0x0407, TRUE, L"Info", L"Sensorgröße", L"4268869", L"4 [1201 * 861]", L"5.5.0",
         "about_box_german.png"},
        {0x0409, FALSE, L"About", L"Sensor size", L"", L"", L"", "about_box_no_sensor.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.screenshot);
        CLanguage language;
        ASSERT_EQ(language.Init("Language.ini", L"english", GetModuleHandleW(nullptr),
                                ProgramFolder().c_str()),
                  1);
        ASSERT_EQ(language.LoadLanguage(c.language), 1);
        const DriverVersion version{5, 5, 0};
        const HWInfo info{1201, 861, 4, 0x00412345};
        auto result = Open([&] {
            ShowAboutBox(nullptr, c.valid, c.valid, version, info, language);
            return 0;
        });
        HWND box = ui::WaitForWindow(c.caption, kWaitMs);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(ui::Text(box), c.caption);
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_SENSOR_SIZE_LABEL)), c.sizeLabel);
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_SENSOR_ID)), c.sensorId);
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_SENSOR_SIZE)), c.sensorSize);
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_DRIVER_VERSION)), c.driverVersion);
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_PROGRAM_VERSION)), L"5.5.0.7");
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_PROGRAM_LABEL)), L"QOR Twain Version");
        EXPECT_EQ(ui::Text(ui::Child(box, IDC_ABOUT_MAKER)), L"Halvex Imaging");
        EXPECT_FALSE(ui::Text(ui::Child(box, IDC_ABOUT_NOTICE)).empty());
        EXPECT_EQ(ui::Text(ui::Child(box, IDOK)), L"OK");
        EXPECT_NE(SendMessageW(ui::Child(box, IDC_ABOUT_ICON), STM_GETICON, 0, 0), 0);
        ui::SavePng(box, ui::ArtefactDir() + c.screenshot);
        ui::Press(box, IDOK);
        ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
        ui::WaitGone(box, kWaitMs);
    }
}

}  // namespace
