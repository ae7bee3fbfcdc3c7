// The UI robot against a window of this test: finding, texts, geometry, pressing, screenshots.
#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

constexpr int kButtonId = 42;
std::atomic<int> g_clicks{0};

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kButtonId) {
        if (++g_clicks == 2) {
            DestroyWindow(window);
        }
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A window with one button, run by its own thread as another program's would be.
void RunTestWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = L"UiRobotTestWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"UiRobotTestWindow", L"Robot Target Window", WS_OVERLAPPEDWINDOW,
                                40, 50, 300, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    CreateWindowW(L"BUTTON", L"Press Me", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 20, 120, 30,
                  window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonId)),
                  windowClass.hInstance, nullptr);
    ShowWindow(window, SW_SHOW);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
}

TEST(UiRobot, FindsReadsPressesAndPhotographsAWindow) {
    std::thread owner(RunTestWindow);
    EXPECT_EQ(ui::WaitForWindow(L"Robot Target", 300, L"NoSuchClass"), nullptr);
    HWND window = ui::WaitForWindow(L"Robot Target", 5000, L"UiRobotTestWindow");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ui::Text(window), L"Robot Target Window");
    EXPECT_EQ(ui::ClassName(window), L"UiRobotTestWindow");
    bool listed = false;
    for (HWND top : ui::TopLevelWindows(GetCurrentProcessId())) {
        listed = listed || top == window;
    }
    EXPECT_TRUE(listed);

    HWND button = ui::Child(window, kButtonId);
    ASSERT_NE(button, nullptr);
    ASSERT_EQ(ui::Children(window).size(), 1u);
    EXPECT_EQ(ui::ChildWithText(window, L"Press Me"), button);
    EXPECT_EQ(ui::Text(button), L"Press Me");
    const RECT inParent = ui::RectInParent(button);
    EXPECT_EQ(inParent.left, 10);
    EXPECT_EQ(inParent.top, 20);
    EXPECT_EQ(inParent.right - inParent.left, 120);
    EXPECT_EQ(ui::ClientRect(button).bottom, 30);

    const std::string png = ui::ArtefactDir() + "ui_robot_target.png";
    std::remove(png.c_str());
    ASSERT_TRUE(ui::SavePng(window, png));
    FILE* file = std::fopen(png.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    unsigned char signature[8] = {};
    EXPECT_EQ(std::fread(signature, 1, 8, file), 8u);
    std::fclose(file);
    EXPECT_EQ(signature[1], 'P');

    ui::Press(window, kButtonId);
    EXPECT_TRUE(ui::WaitUntil([] { return g_clicks == 1; }, 5000));
    EXPECT_FALSE(ui::WaitGone(window, 200));
    ui::PressButton(button);
    EXPECT_TRUE(ui::WaitGone(window, 5000));
    owner.join();
}

}  // namespace
