// The UI robot of the Windows tests.
#include "tests/support/ui_robot.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>

// Static, so that another library of a test may compile its own copy of the writer.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace ui {
namespace {

constexpr int kPollMs = 20;

struct WindowSearch {
    const std::wstring* prefix;
    const wchar_t* className;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<WindowSearch*>(data);
    if (!IsWindowVisible(window) || Text(window).rfind(*search->prefix, 0) != 0) {
        return TRUE;
    }
    if (search->className != nullptr && lstrcmpiW(ClassName(window).c_str(), search->className) != 0) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

struct ProcessWindows {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM data) {
    auto* collect = reinterpret_cast<ProcessWindows*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (collect->processId == 0 || owner == collect->processId) {
        collect->windows.push_back(window);
    }
    return TRUE;
}

}  // namespace

HWND WaitForWindow(const std::wstring& titlePrefix, int timeoutMs, const wchar_t* className) {
    WindowSearch search{&titlePrefix, className};
    WaitUntil(
        [&] {
            EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

std::vector<HWND> TopLevelWindows(DWORD processId) {
    ProcessWindows collect{processId, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&collect));
    return collect.windows;
}

std::wstring Text(HWND window) {
    // SendMessageTimeout: a hung owner must not hang the robot.
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 2000, &copied)) {
        return {};
    }
    text.resize(static_cast<size_t>(copied) < text.size() ? static_cast<size_t>(copied) : 0);
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

HWND Child(HWND parent, int controlId) { return GetDlgItem(parent, controlId); }

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

std::wstring MessageText(HWND box) {
    std::wstring best;
    for (HWND child : Children(box)) {
        if (lstrcmpiW(ClassName(child).c_str(), L"Static") == 0) {
            const std::wstring text = Text(child);
            best = text.size() > best.size() ? text : best;
        }
    }
    return best;
}

HWND ChildWithText(HWND parent, const std::wstring& text) {
    for (HWND child : Children(parent)) {
        if (Text(child) == text) {
            return child;
        }
    }
    return nullptr;
}

void Press(HWND dialog, int controlId) { PressButton(Child(dialog, controlId)); }

void PressButton(HWND button) {
    if (button != nullptr) {
        PostMessageW(button, BM_CLICK, 0, 0);
    }
}

bool WaitGone(HWND window, int timeoutMs) {
    return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        Sleep(kPollMs);
    }
}

RECT ScreenRect(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

RECT ClientRect(HWND window) {
    RECT rect{};
    GetClientRect(window, &rect);
    return rect;
}

RECT RectInParent(HWND child) {
    RECT rect = ScreenRect(child);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool SavePng(HWND window, const std::string& path) {
    RECT rect{};
    if (window != nullptr) {
        rect = ScreenRect(window);
    } else {
        rect = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    // The window's own DC reads its surface, so an overlapping window does not spoil the picture.
    HDC source = window != nullptr ? GetWindowDC(window) : GetDC(nullptr);
    if (source == nullptr) {
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as PNG rows go
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP dib = CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (memory != nullptr && dib != nullptr) {
        HGDIOBJ previous = SelectObject(memory, dib);
        BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
        GdiFlush();
        const auto* bgra = static_cast<const uint8_t*>(bits);
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
        for (size_t i = 0, n = rgb.size() / 3; i < n; ++i) {
            rgb[3 * i] = bgra[4 * i + 2];
            rgb[3 * i + 1] = bgra[4 * i + 1];
            rgb[3 * i + 2] = bgra[4 * i];
        }
        saved = stbi_write_png(path.c_str(), width, height, 3, rgb.data(), width * 3) != 0;
        SelectObject(memory, previous);
    }
    if (dib != nullptr) {
        DeleteObject(dib);
    }
    if (memory != nullptr) {
        DeleteDC(memory);
    }
    ReleaseDC(window, source);
    return saved;
}

std::string ArtefactDir() {
    const char* configured = std::getenv("QOR_TEST_ARTEFACTS");
    std::string dir = configured != nullptr && *configured != '\0' ? configured : "artefacts";
    // Under Wine a Unix path from the test script names drive Z:, which maps the Unix root.
    if (dir.front() == '/') {
        dir = "Z:" + dir;
    }
    for (char& c : dir) {
        if (c == '/') {
            c = '\\';
        }
    }
    // Create every missing level of the folder.
    for (size_t at = dir.find('\\', 3); at != std::string::npos; at = dir.find('\\', at + 1)) {
        CreateDirectoryA(dir.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    if (dir.back() != '\\') {
        dir += '\\';
    }
    return dir;
}

}  // namespace ui
