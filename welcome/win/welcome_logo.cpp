// The generated picture and icon of the welcome screen.
#include "welcome/win/welcome_logo.h"

#include <cstdint>
#include <vector>

namespace welcome {
namespace {

constexpr COLORREF kDeepBlue = RGB(12, 64, 128);
constexpr COLORREF kLightBlue = RGB(70, 150, 215);

// A molar seen from the side: crown with two cusps, two roots; scaled into `box`.
void DrawTooth(HDC dc, const RECT& box, COLORREF fill, COLORREF outline) {
    const POINT unit[] = {{10, 30}, {18, 8},  {32, 16}, {50, 8},  {68, 16}, {82, 8},
                          {90, 30}, {84, 55}, {78, 95}, {64, 98}, {58, 62}, {50, 56},
                          {42, 62}, {36, 98}, {22, 95}, {16, 55}};
    POINT points[sizeof unit / sizeof unit[0]];
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    for (size_t i = 0; i < sizeof unit / sizeof unit[0]; ++i) {
        points[i].x = box.left + unit[i].x * w / 100;
        points[i].y = box.top + unit[i].y * h / 100;
    }
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, w > 40 ? 3 : 1, outline);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Polygon(dc, points, static_cast<int>(sizeof unit / sizeof unit[0]));
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
}

void DrawText(HDC dc, const wchar_t* text, int height, int weight, int x, int y, COLORREF colour) {
    HFONT font = CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             VARIABLE_PITCH | FF_SWISS, L"Arial");
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour);
    TextOutW(dc, x, y, text, lstrlenW(text));
    SelectObject(dc, old);
    DeleteObject(font);
}

}  // namespace

HBITMAP MakeLogoPicture(HDC reference, int width, int height) {
    HDC dc = CreateCompatibleDC(reference);
    HBITMAP picture = CreateCompatibleBitmap(reference, width, height);
    if (dc == nullptr || picture == nullptr) {
        if (dc != nullptr) {
            DeleteDC(dc);
        }
        return picture;
    }
    HGDIOBJ old = SelectObject(dc, picture);
    // The band: a vertical blend from deep to light blue, fading into white towards the controls.
    const int band = width * 48 / 100;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height),
                                 0x00FFFFFFu);
    for (int y = 0; y < height; ++y) {
        const int r = (GetRValue(kDeepBlue) * (height - y) + GetRValue(kLightBlue) * y) / height;
        const int g = (GetGValue(kDeepBlue) * (height - y) + GetGValue(kLightBlue) * y) / height;
        const int b = (GetBValue(kDeepBlue) * (height - y) + GetBValue(kLightBlue) * y) / height;
        for (int x = 0; x < band; ++x) {
            const int fade = x < band - 60 ? 0 : (x - (band - 60)) * 255 / 60;
            const uint32_t red = static_cast<uint32_t>(r + (255 - r) * fade / 255);
            const uint32_t green = static_cast<uint32_t>(g + (255 - g) * fade / 255);
            const uint32_t blue = static_cast<uint32_t>(b + (255 - b) * fade / 255);
            pixels[static_cast<size_t>(y) * width + x] = red << 16 | green << 8 | blue;
        }
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, width, height, 0, 0, 0, height, pixels.data(), &info,
                      DIB_RGB_COLORS);
    const RECT tooth{24, height / 2 - 62, 124, height / 2 + 58};
    DrawTooth(dc, tooth, RGB(250, 250, 245), kDeepBlue);
    DrawText(dc, L"QOR", 56, FW_BOLD, 140, height / 2 - 54, RGB(255, 255, 255));
    DrawText(dc, L"Halvex Imaging", 18, FW_NORMAL, 144, height / 2 + 8, RGB(235, 243, 255));
    DrawText(dc, L"Intraoral sensor drivers", 13, FW_NORMAL, 144, height / 2 + 32,
             RGB(235, 243, 255));
    SelectObject(dc, old);
    DeleteDC(dc);
    return picture;
}

HICON MakeLogoIcon() {
    constexpr int kSize = 32;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP colour = CreateCompatibleBitmap(screen, kSize, kSize);
    HBITMAP mask = CreateBitmap(kSize, kSize, 1, 1, nullptr);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, colour);
    const RECT all{0, 0, kSize, kSize};
    HBRUSH blue = CreateSolidBrush(kDeepBlue);
    FillRect(dc, &all, blue);
    DeleteObject(blue);
    DrawTooth(dc, RECT{3, 2, 29, 30}, RGB(255, 255, 255), RGB(255, 255, 255));
    SelectObject(dc, mask);
    PatBlt(dc, 0, 0, kSize, kSize, BLACKNESS);  // opaque everywhere
    SelectObject(dc, old);
    DeleteDC(dc);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = colour;
    info.hbmMask = mask;
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}

}  // namespace welcome
