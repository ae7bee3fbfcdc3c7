// CSystemTray in this process: what an icon that was never created (or was removed) answers, the
// animation timer's life, creating again after a removal, and which clicks become which messages.
#include "app/system_tray.h"

#include <gtest/gtest.h>

namespace {

constexpr UINT kCallback = WM_APP + 10;
constexpr UINT kLeft = WM_USER + 7;
constexpr UINT kRight = WM_USER + 2;

// A window that only receives the posted click messages.
HWND MakeReceiver() {
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}

UINT TakePosted(HWND window) {
    MSG msg{};
    if (PeekMessageW(&msg, window, WM_USER, WM_APP + 0x3FFF, PM_REMOVE)) {
        return msg.message;
    }
    return 0;
}

TEST(SystemTray, NotCreatedAnimationAndRecreation) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
    CSystemTray tray;
    // Never created: every operation answers 0 without the shell.
    EXPECT_FALSE(tray.SetIcon(icon));
    EXPECT_FALSE(tray.ShowBalloon(L"text", nullptr, NIIF_NONE, 10));
    EXPECT_FALSE(tray.Animate(icon, icon, 1000));
    EXPECT_FALSE(tray.StopAnimation());
    EXPECT_FALSE(tray.RemoveIcon());

    HWND receiver = MakeReceiver();
    const std::wstring longTip(100, L'x');
    ASSERT_TRUE(tray.Create(receiver, kCallback, kLeft, kRight, longTip.c_str(), icon, 0, nullptr,
                            nullptr, 0, 10000));
    EXPECT_FALSE(tray.StopAnimation()) << "never animated";
    EXPECT_TRUE(tray.Animate(icon, icon, 1000));
    EXPECT_TRUE(tray.IsAnimating());
    EXPECT_TRUE(tray.StopAnimation());
    EXPECT_FALSE(tray.IsAnimating());
    EXPECT_TRUE(tray.ShowBalloon(L"balloon", nullptr, NIIF_NONE, 10));
    EXPECT_TRUE(tray.SetIcon(icon));
    EXPECT_TRUE(tray.Animate(icon, icon, 1000));
    EXPECT_TRUE(tray.RemoveIcon()) << "also stops the animation";
    EXPECT_FALSE(tray.IsAnimating());
    EXPECT_FALSE(tray.IsCreated());
    EXPECT_EQ(nullptr, tray.Window());
    // The images icon comes and goes many times in one run.
    EXPECT_TRUE(tray.Create(receiver, kCallback, kLeft, kRight, L"again", icon, 0, nullptr,
                            nullptr, 0, 10000));
    EXPECT_TRUE(tray.RemoveIcon());
    DestroyWindow(receiver);
}

TEST(SystemTray, ClicksBecomeMessagesForTheMainWindow) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
    HWND receiver = MakeReceiver();
    CSystemTray sensor;
    CSystemTray images;
    ASSERT_TRUE(sensor.Create(receiver, kCallback, kLeft, kRight, L"sensor", icon, 0, nullptr,
                              nullptr, 0, 10000));
    ASSERT_TRUE(images.Create(receiver, kCallback + 1, kLeft + 1, 0, L"images", icon, 1, nullptr,
                              nullptr, 0, 10000));
    struct Case {
        CSystemTray* tray;
        WPARAM id;
        UINT mouse;
        LRESULT handled;
        UINT posted;
    };
    const Case cases[] = {
        {&sensor, 0, WM_LBUTTONDOWN, 1, kLeft},
        {&sensor, 0, WM_RBUTTONDOWN, 1, kRight},
        {&sensor, 0, WM_MOUSEMOVE, 1, 0},
        {&sensor, 0, WM_LBUTTONUP, 1, 0},
        {&sensor, 1, WM_LBUTTONDOWN, 0, 0},  // another icon's identifier
        {&images, 1, WM_LBUTTONDOWN, 1, kLeft + 1},
        {&images, 1, WM_RBUTTONDOWN, 1, 0},  // no right-button message
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id << " mouse " << c.mouse);
        EXPECT_EQ(c.handled, c.tray->OnTrayNotification(c.id, c.mouse));
        EXPECT_EQ(c.posted, TakePosted(receiver));
    }
    // Through the icon's own window, as the shell delivers them.
    SendMessageW(sensor.Window(), kCallback, 0, WM_RBUTTONDOWN);
    EXPECT_EQ(kRight, TakePosted(receiver));
    sensor.RemoveIcon();
    images.RemoveIcon();
    DestroyWindow(receiver);
}

}  // namespace
