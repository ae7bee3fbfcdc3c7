// A small UI robot for message boxes.
#include "tests/support/box_watcher.h"

#include <chrono>
#include <vector>

namespace {

constexpr int kGiveUpMs = 20000;

struct Search {
    const std::wstring* prefix;
    HWND found = nullptr;
};

BOOL CALLBACK FindByTitle(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    // InternalGetWindowText sends no message: a window of a thread that is busy (the test's own
    // thread inside a call) cannot block the robot.
    wchar_t title[256] = {};
    InternalGetWindowText(window, title, 256);
    if (IsWindowVisible(window) && std::wstring(title).rfind(*search->prefix, 0) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The message of a box: its static text control (id 0xFFFF), else the longest static text.
BOOL CALLBACK CollectStatic(HWND child, LPARAM data) {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    if (lstrcmpiW(className, L"Static") == 0) {
        wchar_t text[512] = {};
        GetWindowTextW(child, text, 512);
        auto* best = reinterpret_cast<std::wstring*>(data);
        if (wcslen(text) > best->size()) {
            *best = text;
        }
    }
    return TRUE;
}

}  // namespace

BoxWatcher::BoxWatcher(std::wstring titlePrefix, int pressOkAfterMs)
    : m_prefix(std::move(titlePrefix)), m_pressOkAfterMs(pressOkAfterMs),
      m_thread([this] { Watch(); }) {}

BoxWatcher::~BoxWatcher() {
    m_stop = true;
    Join();
}

void BoxWatcher::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void BoxWatcher::Watch() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
    Search search{&m_prefix};
    while (!m_stop && std::chrono::steady_clock::now() < deadline) {
        search.found = nullptr;
        EnumWindows(FindByTitle, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            break;
        }
        Sleep(20);
    }
    HWND box = search.found;
    if (box == nullptr) {
        return;
    }
    m_seen = true;
    wchar_t title[256] = {};
    GetWindowTextW(box, title, 256);
    m_title = title;
    EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&m_text));
    if (m_pressOkAfterMs >= 0) {
        Sleep(static_cast<DWORD>(m_pressOkAfterMs));
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
}
