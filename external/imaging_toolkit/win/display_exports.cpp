// LTDIS13N.dll: the imaging toolkit's display library, painting a toolkit bitmap with GDI.
#include "common/core/catch_all.h"
#include "external/imaging_toolkit/win/toolkit_api.h"

#include <cstring>
#include <vector>

namespace {

// An 8-bit top-down device-independent bitmap header with the bitmap's palette (16-bit grey
// paints through the grey ramp its palette holds).
struct PaintHeader {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
};

}  // namespace

TOOLKIT_API HPALETTE WINAPI TkCreatePaintPalette(HDC, const toolkit::Bitmap* bitmap) {
    return CatchAll<HPALETTE>(nullptr, [&]() -> HPALETTE {
        if (!toolkit::IsValid(bitmap)) {
            return nullptr;
        }
        struct {
            WORD version;
            WORD count;
            PALETTEENTRY entries[256];
        } logical{0x300, 256, {}};
        for (int i = 0; i < 256; ++i) {
            logical.entries[i].peRed = bitmap->palette[4 * i + 2];
            logical.entries[i].peGreen = bitmap->palette[4 * i + 1];
            logical.entries[i].peBlue = bitmap->palette[4 * i];
            logical.entries[i].peFlags = 0;
        }
        return CreatePalette(reinterpret_cast<LOGPALETTE*>(&logical));
    });
}

TOOLKIT_API int32_t WINAPI TkPaintBitmap(HDC dc, const toolkit::Bitmap* bitmap, const RECT* source,
                                         const RECT*, const RECT* destination, const RECT*,
                                         DWORD rasterOperation) {
    if (!toolkit::IsValid(bitmap)) {
        return toolkit::kInvalidBitmap;
    }
    if (dc == nullptr) {
        return toolkit::kInvalidArgument;
    }
    std::vector<uint8_t> rows;
    try {
        rows = toolkit::DisplayRows(*bitmap);
    } catch (...) {
        return toolkit::kNoMemory;
    }
    PaintHeader info{};
    info.header.biSize = sizeof(info.header);
    info.header.biWidth = bitmap->width;
    info.header.biHeight = -bitmap->height;  // rows are stored top-down
    info.header.biPlanes = 1;
    info.header.biBitCount = 8;
    info.header.biCompression = BI_RGB;
    info.header.biClrUsed = 256;
    std::memcpy(info.colours, bitmap->palette, sizeof(info.colours));
    const RECT whole{0, 0, bitmap->width, bitmap->height};
    const RECT& from = source != nullptr ? *source : whole;
    const RECT& to = destination != nullptr ? *destination : whole;
    const int painted = StretchDIBits(dc, to.left, to.top, to.right - to.left, to.bottom - to.top,
                                      from.left, from.top, from.right - from.left,
                                      from.bottom - from.top, rows.data(),
                                      reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                      rasterOperation);
    return painted > 0 ? toolkit::kSuccess : toolkit::kInvalidArgument;
}
