// The imaging toolkit's bitmap operations.
#include "external/imaging_toolkit/core/toolkit_bitmap.h"

#include <cstring>
#include <new>

namespace toolkit {
namespace {

int32_t LineBytes(int32_t width, int32_t bits) {
    return static_cast<int32_t>(((static_cast<int64_t>(width) * bits + 31) / 32) * 4);
}

void GreyRamp(uint8_t* palette) {
    for (int i = 0; i < 256; ++i) {
        palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
        palette[4 * i + 3] = 0;
    }
}

uint8_t* Allocate(size_t bytes) {
    auto* memory = new (std::nothrow) uint8_t[bytes];
    if (memory != nullptr) {
        std::memset(memory, 0, bytes);
    }
    return memory;
}

void StorePixel(uint8_t* row, int32_t x, int32_t bits, uint32_t value) {
    if (bits == 8) {
        row[x] = static_cast<uint8_t>(value);
    } else {
        row[2 * x] = static_cast<uint8_t>(value);
        row[2 * x + 1] = static_cast<uint8_t>(value >> 8);
    }
}

uint32_t LoadPixel(const uint8_t* row, int32_t x, int32_t bits) {
    return bits == 8 ? row[x] : static_cast<uint32_t>(row[2 * x] | (row[2 * x + 1] << 8));
}

}  // namespace

const char* ResultText(int32_t result) {
    switch (result) {
    case kInvalidBitmap:
        return "the bitmap has not been created or has been freed";
    case kInvalidArgument:
        return "an argument is outside what the toolkit handles";
    case kNoMemory:
        return "not enough memory for the bitmap";
    case kNotAccessed:
        return "rows were stored without opening row access";
    default:
        return result >= 0 ? "success" : "unknown error";
    }
}

bool IsValid(const Bitmap* bitmap) {
    return bitmap != nullptr && bitmap->structSize == static_cast<int32_t>(sizeof(Bitmap)) &&
           bitmap->data != nullptr;
}

int32_t CreateBitmap(Bitmap* bitmap, int32_t memoryType, int32_t width, int32_t height,
                     int32_t bitsPerPixel, int32_t order, const uint8_t* palette,
                     int32_t viewPerspective, const uint8_t* data, uint32_t dataSize) {
    if (bitmap == nullptr) {
        return kInvalidBitmap;
    }
    const int32_t bits = bitsPerPixel == 0 ? 8 : bitsPerPixel;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        (bits != 8 && bits != 16)) {
        return kInvalidArgument;
    }
    const int32_t line = LineBytes(width, bits);
    const uint64_t size = static_cast<uint64_t>(line) * static_cast<uint64_t>(height);
    if (size > 0x7FFFFFFFu) {
        return kInvalidArgument;
    }
    uint8_t* pixels = Allocate(static_cast<size_t>(size));
    if (pixels == nullptr) {
        return kNoMemory;
    }
    if (data != nullptr) {
        std::memcpy(pixels, data, dataSize < size ? dataSize : static_cast<size_t>(size));
    }
    // The record may hold anything before: every field is written.
    std::memset(bitmap, 0, sizeof(Bitmap));
    bitmap->structSize = static_cast<int32_t>(sizeof(Bitmap));
    bitmap->memoryType = memoryType;
    bitmap->width = width;
    bitmap->height = height;
    bitmap->bitsPerPixel = bits;
    bitmap->bytesPerLine = line;
    bitmap->order = order;
    bitmap->dataSize = static_cast<uint32_t>(size);
    bitmap->xResolution = bitmap->yResolution = 96;
    bitmap->viewPerspective = viewPerspective;
    bitmap->data = pixels;
    if (palette != nullptr) {
        std::memcpy(bitmap->palette, palette, sizeof(bitmap->palette));
    } else {
        GreyRamp(bitmap->palette);
    }
    return kSuccess;
}

int32_t SetGreyDepth(Bitmap* bitmap, int32_t bitsPerPixel) {
    if (!IsValid(bitmap)) {
        return kInvalidBitmap;
    }
    if (bitsPerPixel != 8 && bitsPerPixel != 16) {
        return kInvalidArgument;
    }
    if (bitsPerPixel == bitmap->bitsPerPixel) {
        return kSuccess;
    }
    const int32_t line = LineBytes(bitmap->width, bitsPerPixel);
    const uint64_t size = static_cast<uint64_t>(line) * static_cast<uint64_t>(bitmap->height);
    if (size > 0x7FFFFFFFu) {
        return kInvalidArgument;
    }
    uint8_t* pixels = Allocate(static_cast<size_t>(size));
    if (pixels == nullptr) {
        return kNoMemory;
    }
    for (int32_t y = 0; y < bitmap->height; ++y) {
        const uint8_t* from = bitmap->data + static_cast<size_t>(y) * bitmap->bytesPerLine;
        uint8_t* to = pixels + static_cast<size_t>(y) * line;
        for (int32_t x = 0; x < bitmap->width; ++x) {
            const uint32_t value = LoadPixel(from, x, bitmap->bitsPerPixel);
            StorePixel(to, x, bitsPerPixel, bitsPerPixel == 16 ? value * 257u : value >> 8);
        }
    }
    delete[] bitmap->data;
    bitmap->data = pixels;
    bitmap->bitsPerPixel = bitsPerPixel;
    bitmap->bytesPerLine = line;
    bitmap->dataSize = static_cast<uint32_t>(size);
    GreyRamp(bitmap->palette);
    return kSuccess;
}

int32_t AccessBitmap(Bitmap* bitmap) {
    if (!IsValid(bitmap)) {
        return kInvalidBitmap;
    }
    ++bitmap->accessCount;
    return kSuccess;
}

int32_t ReleaseBitmap(Bitmap* bitmap) {
    if (!IsValid(bitmap)) {
        return kInvalidBitmap;
    }
    if (bitmap->accessCount > 0) {
        --bitmap->accessCount;
    }
    return kSuccess;
}

int32_t PutRow(Bitmap* bitmap, const uint8_t* rowData, int32_t row, uint32_t bytes) {
    if (!IsValid(bitmap)) {
        return kInvalidBitmap;
    }
    if (bitmap->accessCount <= 0) {
        return kNotAccessed;
    }
    if (rowData == nullptr || row < 0 || row >= bitmap->height) {
        return kInvalidArgument;
    }
    const uint32_t stored = bytes < static_cast<uint32_t>(bitmap->bytesPerLine)
                                ? bytes
                                : static_cast<uint32_t>(bitmap->bytesPerLine);
    std::memcpy(bitmap->data + static_cast<size_t>(row) * bitmap->bytesPerLine, rowData, stored);
    return static_cast<int32_t>(stored);
}

int32_t RotateBitmap(Bitmap* bitmap, int32_t angle, int32_t flags, uint32_t /*fill*/) {
    if (!IsValid(bitmap)) {
        return kInvalidBitmap;
    }
    const int32_t turn = ((angle % 36000) + 36000) % 36000;
    if (turn % 9000 != 0) {
        return kInvalidArgument;
    }
    const int32_t quarters = turn / 9000;
    if (quarters == 0) {
        return kSuccess;
    }
    const int32_t w = bitmap->width;
    const int32_t h = bitmap->height;
    const bool sideways = quarters % 2 == 1;
    if (sideways && w != h && (flags & kRotateResize) == 0) {
        return kInvalidArgument;
    }
    const int32_t newWidth = sideways ? h : w;
    const int32_t newHeight = sideways ? w : h;
    const int32_t bits = bitmap->bitsPerPixel;
    const int32_t line = LineBytes(newWidth, bits);
    const uint64_t size = static_cast<uint64_t>(line) * static_cast<uint64_t>(newHeight);
    uint8_t* pixels = Allocate(static_cast<size_t>(size));
    if (pixels == nullptr) {
        return kNoMemory;
    }
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* from = bitmap->data + static_cast<size_t>(y) * bitmap->bytesPerLine;
        for (int32_t x = 0; x < w; ++x) {
            int32_t nx = x;
            int32_t ny = y;
            if (quarters == 1) {  // clockwise: the left column becomes the top row
                nx = h - 1 - y;
                ny = x;
            } else if (quarters == 2) {
                nx = w - 1 - x;
                ny = h - 1 - y;
            } else {
                nx = y;
                ny = w - 1 - x;
            }
            StorePixel(pixels + static_cast<size_t>(ny) * line, nx, bits, LoadPixel(from, x, bits));
        }
    }
    delete[] bitmap->data;
    bitmap->data = pixels;
    bitmap->width = newWidth;
    bitmap->height = newHeight;
    bitmap->bytesPerLine = line;
    bitmap->dataSize = static_cast<uint32_t>(size);
    return kSuccess;
}

void FreeBitmap(Bitmap* bitmap) {
    if (IsValid(bitmap)) {
        delete[] bitmap->data;
        std::memset(bitmap, 0, sizeof(Bitmap));
    }
}

uint32_t Pixel(const Bitmap& bitmap, int32_t x, int32_t y) {
    return LoadPixel(bitmap.data + static_cast<size_t>(y) * bitmap.bytesPerLine, x,
                     bitmap.bitsPerPixel);
}

std::vector<uint8_t> DisplayRows(const Bitmap& bitmap) {
    if (!IsValid(&bitmap)) {
        return {};
    }
    const int32_t line = LineBytes(bitmap.width, 8);
    std::vector<uint8_t> rows(static_cast<size_t>(line) * static_cast<size_t>(bitmap.height));
    for (int32_t y = 0; y < bitmap.height; ++y) {
        for (int32_t x = 0; x < bitmap.width; ++x) {
            const uint32_t value = Pixel(bitmap, x, y);
            rows[static_cast<size_t>(y) * line + x] =
                static_cast<uint8_t>(bitmap.bitsPerPixel == 16 ? value >> 8 : value);
        }
    }
    return rows;
}

}  // namespace toolkit
