// QorIcons.dll as QOR APP loads it: every tray icon id at the tray's size, each showing the
// picture of its role (a swapped id would show "ready" while the sensor is in error).
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Colours {
    int green = 0, red = 0, orange = 0, opaque = 0;
};

// Draws the icon on white and counts strongly coloured pixels.
Colours Census(HICON icon, int size) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    RECT all{0, 0, size, size};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    GdiFlush();
    Colours c;
    const auto* pixels = static_cast<const BYTE*>(bits);
    for (int i = 0; i < size * size; ++i) {
        const int b = pixels[i * 4], g = pixels[i * 4 + 1], r = pixels[i * 4 + 2];
        c.opaque += !(r == 255 && g == 255 && b == 255);
        c.green += g > r + 60 && g > b + 60;
        c.red += r > g + 120 && r > b + 120;
        c.orange += r > 200 && g > 100 && g < 180 && b < 60;
    }
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return c;
}

TEST(QorIconsDll, HoldsEveryTrayIconWithThePictureOfItsRole) {
    HMODULE library = LoadLibraryW(L"QorIcons.dll");
    ASSERT_NE(library, nullptr);
    struct Role {
        int id;
        bool green, red, orange;
    } roles[] = {{1002, true, false, false},   // ready
                 {1001, false, true, false},   // not connected: grey, crossed in red
                 {1003, false, true, false},   // error
                 {5, false, false, false},     // images, frame 1
                 {1007, false, false, true}};  // images, frame 2
    for (const Role& role : roles) {
        for (int size : {16, 32}) {
            SCOPED_TRACE(testing::Message() << "icon " << role.id << " at " << size);
            HICON icon = static_cast<HICON>(
                LoadImageW(library, MAKEINTRESOURCEW(role.id), IMAGE_ICON, size, size, 0));
            ASSERT_NE(icon, nullptr);
            const Colours c = Census(icon, size);
            EXPECT_GT(c.opaque, size * size / 3);
            EXPECT_EQ(c.green > c.opaque / 3, role.green);
            EXPECT_EQ(c.red > c.opaque / 8, role.red);
            EXPECT_EQ(c.orange > 3, role.orange);
            DestroyIcon(icon);
        }
    }
    FreeLibrary(library);
}

}  // namespace
