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

// A program that runs unattended (a service, a batch tool) sets QOR_MESSAGE_BOXES=0 in its
// environment: a box would wait for a press nobody makes, so the call goes on as after OK. (Not
// the process's error mode: a child inherits that, and QOR APP started by an imaging program
// that set it would lose the under-exposure warning.)
bool CallerWantsNoBoxes() {
    wchar_t value[4] = {};
    const DWORD length = GetEnvironmentVariableW(L"QOR_MESSAGE_BOXES", value, 4);
    return length == 1 && value[0] == L'0';
}

}  // namespace

void ShowMessageBox(const qor::UserNotice& notice) {
    if (CallerWantsNoBoxes()) {
        return;
    }
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
}

void ShowSelfClosingMessageBox(const qor::UserNotice& notice, unsigned timeoutMs) {
    if (CallerWantsNoBoxes()) {
        return;
    }
    g_closingCaption = notice.title;
    const UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, CloseBoxTimer);
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
}
