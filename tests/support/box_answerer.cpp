#include "tests/support/box_answerer.h"

#include <vector>

namespace {

struct Search {
    const std::wstring* title;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    wchar_t title[256] = {};
    // Without a message: the thread of a window may be waiting for this robot to stop.
    InternalGetWindowText(window, title, 256);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (IsWindowVisible(window) && *search->title == title && wcscmp(className, L"#32770") == 0 &&
        GetDlgItem(window, IDOK) != nullptr) {
        search->boxes.push_back(window);
    }
    return TRUE;
}

}  // namespace

BoxAnswerer::BoxAnswerer(std::wstring title) : m_title(std::move(title)), m_thread([this] { Run(); }) {}

BoxAnswerer::~BoxAnswerer() {
    m_stop = true;
    m_thread.join();
}

void BoxAnswerer::Run() {
    while (!m_stop) {
        Search search{&m_title, {}};
        EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
        for (HWND box : search.boxes) {
            // Posted: the box's own loop, on the thread that raised it, closes it.
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            ++m_answered;
        }
        Sleep(search.boxes.empty() ? 10 : 50);
    }
}
