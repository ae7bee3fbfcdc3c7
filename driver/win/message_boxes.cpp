// The driver library's message boxes.
#include "driver/win/message_boxes.h"

#include <windows.h>

namespace {

void CALLBACK EndBoxLoop(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }

}  // namespace

void ShowMessageBox(const qor::UserNotice& notice) {
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
}

void ShowSelfClosingMessageBox(const qor::UserNotice& notice, unsigned timeoutMs) {
    const UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, EndBoxLoop);
    MessageBoxA(nullptr, notice.text.c_str(), notice.title.c_str(), MB_OK);
    if (timer != 0) {
        KillTimer(nullptr, timer);
    }
    // The quit request only ended the box; it must not end the caller's own message loop.
    MSG message;
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}
