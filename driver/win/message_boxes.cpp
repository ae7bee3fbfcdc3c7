// The driver library's message boxes.
#include "driver/win/message_boxes.h"

#include <windows.h>

#include <string>

#include "driver/win/export_guard.h"

namespace {

// The self-closing box is found among the calling thread's windows by its caption and closed
// like a press of OK. No WM_QUIT is involved, so a quit request the host has posted stays
// where the host's own loop will find it (the box's modal loop re-posts one it takes).
thread_local std::string g_closingCaption;

BOOL CALLBACK CloseBoxWithCaption(HWND window, LPARAM) {
    return Guarded<BOOL>(TRUE, [&]() -> BOOL {
        char caption[256] = {};
        GetWindowTextA(window, caption, sizeof caption);
        if (g_closingCaption == caption) {
            PostMessageW(window, WM_COMMAND, IDOK, 0);
            return FALSE;
        }
        return TRUE;
    });
}

void CALLBACK CloseBoxTimer(HWND, UINT, UINT_PTR, DWORD) {
    Guarded([] { EnumThreadWindows(GetCurrentThreadId(), CloseBoxWithCaption, 0); });
}

}  // namespace

void ShowMessageBox(const qor::UserNotice& notice) {
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
}

void ShowSelfClosingMessageBox(const qor::UserNotice& notice, unsigned timeoutMs) {
    g_closingCaption = notice.title;
    const UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, CloseBoxTimer);
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
}
