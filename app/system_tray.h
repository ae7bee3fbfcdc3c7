// CSystemTray: one notification-area icon with a hidden window of its own that receives the
// shell's callbacks and the animation timer, and turns clicks into messages for the main window.
#pragma once

#include <windows.h>
#include <shellapi.h>

class CSystemTray {
public:
    CSystemTray();
    ~CSystemTray();
    CSystemTray(const CSystemTray&) = delete;
    CSystemTray& operator=(const CSystemTray&) = delete;

    // Adds the icon; the result is the created flag. `mainWindow` receives the click messages.
    BOOL Create(HWND mainWindow, UINT callbackMessage, UINT leftButtonMessage,
                UINT rightButtonMessage, const wchar_t* tip, HICON icon, UINT id,
                const wchar_t* balloonText, const wchar_t* balloonTitle, DWORD balloonFlags,
                UINT timeout);
    BOOL SetIcon(HICON icon);
    BOOL ShowBalloon(const wchar_t* text, const wchar_t* title, DWORD balloonFlags, UINT timeout);
    BOOL Animate(HICON frame1, HICON frame2, UINT periodMs);
    BOOL StopAnimation();
    BOOL RemoveIcon();
    // 1 when the notification was for this icon.
    LRESULT OnTrayNotification(WPARAM id, LPARAM mouseMessage);

    BOOL IsCreated() const { return m_bCreated; }
    BOOL IsAnimating() const { return m_uTimerID != 0; }
    HWND Window() const { return m_hWnd; }
    HICON CurrentIcon() const { return m_nid.hIcon; }

    // The record's size in its version-2 layout: 936 bytes in the 32-bit build.
    static constexpr DWORD kRecordSize = NOTIFYICONDATAW_V2_SIZE;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnTimer();
    void DestroyHiddenWindow();

    BOOL m_bCreated = FALSE;
    NOTIFYICONDATAW m_nid{};
    UINT m_uCallbackMessage = 0;
    UINT m_uLeftButtonMessage = 0;
    UINT m_uRightButtonMessage = 0;
    UINT_PTR m_uTimerID = 0;
    HICON m_hFrame1 = nullptr;
    HICON m_hFrame2 = nullptr;
    BOOL m_bPhase = FALSE;
    HWND m_hWnd = nullptr;
    HWND m_hMainWindow = nullptr;
};

#if !defined(_WIN64)
static_assert(CSystemTray::kRecordSize == 936, "notify-icon record in its version-2 layout");
#endif
