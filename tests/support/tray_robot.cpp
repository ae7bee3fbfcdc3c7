// Tray and menu helpers of the UI robot.
#include "tests/support/tray_robot.h"

#include "tests/support/ui_robot.h"

#include <algorithm>
#include <cstdint>

namespace tray {
namespace {

constexpr wchar_t kTrayClass[] = L"__winex11_standalone_tray";
constexpr wchar_t kIconClass[] = L"__winex11_tray_icon";

BOOL CALLBACK CollectIcons(HWND window, LPARAM data) {
    if (ui::ClassName(window) == kIconClass && IsWindowVisible(window)) {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    }
    return TRUE;
}

void Click(HWND icon, UINT down, UINT up, WPARAM keys) {
    const LPARAM at = MAKELPARAM(4, 4);
    PostMessageW(icon, WM_MOUSEMOVE, 0, at);
    PostMessageW(icon, down, keys, at);
    PostMessageW(icon, up, 0, at);
}

// The screen pixels of a window as 32-bit BGRA values.
std::vector<uint32_t> Pixels(HWND window) {
    RECT r = ui::ScreenRect(window);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    std::vector<uint32_t> pixels;
    if (width <= 0 || height <= 0) {
        return pixels;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        const auto* p = static_cast<const uint32_t*>(bits);
        pixels.assign(p, p + static_cast<size_t>(width) * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

}  // namespace

HWND TrayWindow(int timeoutMs) {
    HWND found = nullptr;
    ui::WaitUntil(
        [&] {
            found = FindWindowW(kTrayClass, nullptr);
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

std::vector<HWND> Icons() {
    std::vector<HWND> icons;
    HWND trayWindow = FindWindowW(kTrayClass, nullptr);
    if (trayWindow != nullptr) {
        EnumChildWindows(trayWindow, CollectIcons, reinterpret_cast<LPARAM>(&icons));
    }
    std::sort(icons.begin(), icons.end(), [](HWND a, HWND b) {
        return ui::ScreenRect(a).left < ui::ScreenRect(b).left;
    });
    return icons;
}

bool WaitForIconCount(size_t count, int timeoutMs) {
    return ui::WaitUntil([&] { return Icons().size() == count; }, timeoutMs);
}

void LeftClick(HWND icon) { Click(icon, WM_LBUTTONDOWN, WM_LBUTTONUP, MK_LBUTTON); }
void RightClick(HWND icon) { Click(icon, WM_RBUTTONDOWN, WM_RBUTTONUP, MK_RBUTTON); }

HWND WaitForPopupMenu(int timeoutMs) {
    HWND menu = nullptr;
    ui::WaitUntil(
        [&] {
            menu = FindWindowW(L"#32768", nullptr);
            return menu != nullptr && IsWindowVisible(menu);
        },
        timeoutMs);
    return menu != nullptr && IsWindowVisible(menu) ? menu : nullptr;
}

void ChooseByKeys(HWND menu, int steps) {
    for (int i = 0; i < steps; ++i) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
}

void CloseMenu(HWND menu) { PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0); }

Colour MeanColour(HWND window) {
    const std::vector<uint32_t> pixels = Pixels(window);
    Colour mean;
    if (pixels.empty()) {
        return mean;
    }
    for (uint32_t p : pixels) {
        mean.blue += p & 0xFF;
        mean.green += (p >> 8) & 0xFF;
        mean.red += (p >> 16) & 0xFF;
    }
    const double n = static_cast<double>(pixels.size());
    mean.red /= n;
    mean.green /= n;
    mean.blue /= n;
    return mean;
}

double ShareOfPixels(HWND window, bool (*test)(int red, int green, int blue)) {
    const std::vector<uint32_t> pixels = Pixels(window);
    if (pixels.empty()) {
        return 0;
    }
    size_t hits = 0;
    for (uint32_t p : pixels) {
        if (test(static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                 static_cast<int>(p & 0xFF))) {
            ++hits;
        }
    }
    return static_cast<double>(hits) / static_cast<double>(pixels.size());
}

uint64_t PictureFingerprint(HWND window) {
    uint64_t sum = 0;
    uint64_t weight = 1;
    for (uint32_t p : Pixels(window)) {
        sum += (p & 0xFFFFFF) * weight;
        weight = weight * 31 % 1000003;
    }
    return sum;
}

std::vector<std::wstring> BalloonTexts() {
    std::vector<std::wstring> texts;
    for (HWND window : ui::TopLevelWindows()) {
        if (ui::ClassName(window) == L"tooltips_class32" && IsWindowVisible(window)) {
            std::wstring text = ui::Text(window);
            if (!text.empty()) {
                texts.push_back(text);
            }
        }
    }
    return texts;
}

}  // namespace tray
