#include "app/core/gray_bitmap.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Little-endian header fields, read and written bytewise so that alignment and host byte order
// never matter.
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t GetSigned32(const uint8_t* p) {
    return static_cast<int32_t>(Get32(p));
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Offsets inside the 54 header bytes.
constexpr size_t kFileSize = 2;
constexpr size_t kPixelOffset = 10;
constexpr size_t kInfoSize = 14;
constexpr size_t kWidth = 18;
constexpr size_t kHeight = 22;
constexpr size_t kPlanes = 26;
constexpr size_t kBitCount = 28;
constexpr size_t kCompression = 30;
constexpr size_t kImageSize = 34;
constexpr size_t kColoursUsed = 46;
constexpr size_t kPalette = 54;

uint8_t ToGray8(int32_t value) {
    if (value <= 0) {
        return 0;
    }
    if (value >= 4095) {
        return 255;
    }
    return static_cast<uint8_t>(static_cast<double>(value) * 255.0 / 4095.0);
}

} // namespace

int SetGrayPalette(uint8_t* palette) {
    if (palette == nullptr) {
        return 0;
    }
    for (int i = 0; i < 256; ++i) {
        palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
        palette[4 * i + 3] = 0;
    }
    return 1;
}

int IsValidGray8Bitmap(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr || count <= 54) {
        return 0;
    }
    if (bytes[0] != 'B' || bytes[1] != 'M' || Get32(bytes + kFileSize) != count ||
        Get32(bytes + kPixelOffset) != static_cast<uint32_t>(kBitmapHeaderBytes)) {
        return 0;
    }
    const int32_t width = GetSigned32(bytes + kWidth);
    const int32_t height = GetSigned32(bytes + kHeight);
    if (width <= 0 || height <= 0 || Get16(bytes + kBitCount) != 8 ||
        Get32(bytes + kCompression) != 0) {
        return 0;
    }
    const uint64_t imageSize = static_cast<uint64_t>(GrayRowStride(width)) * height;
    return Get32(bytes + kImageSize) == imageSize && count >= imageSize + kBitmapHeaderBytes ? 1
                                                                                             : 0;
}

int MakeGray8Bitmap(const int32_t* pixels, int32_t capacity, int32_t width, int32_t height,
                    uint8_t** outBitmap, ImageDataStruct* outRecord) {
    if (pixels == nullptr || outBitmap == nullptr || outRecord == nullptr || width <= 0 ||
        height == 0 || capacity < 0) {
        return 0;
    }
    const int64_t rows = height < 0 ? -static_cast<int64_t>(height) : height;
    if (static_cast<int64_t>(width) * rows > capacity) {
        return 0;
    }
    const int64_t stride = GrayRowStride(width);
    const int64_t size = stride * rows + kBitmapHeaderBytes;
    if (size > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    auto* bitmap = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
    if (bitmap == nullptr) {
        return 0;
    }
    bitmap[0] = 'B';
    bitmap[1] = 'M';
    Put32(bitmap + kFileSize, static_cast<uint32_t>(size));
    Put32(bitmap + kPixelOffset, kBitmapHeaderBytes);
    Put32(bitmap + kInfoSize, 40);
    Put32(bitmap + kWidth, static_cast<uint32_t>(width));
    Put32(bitmap + kHeight, static_cast<uint32_t>(rows));
    Put16(bitmap + kPlanes, 1);
    Put16(bitmap + kBitCount, 8);
    Put32(bitmap + kImageSize, static_cast<uint32_t>(stride * rows));
    Put32(bitmap + kColoursUsed, 256);
    SetGrayPalette(bitmap + kPalette);
    // File row j is the picture's row rows-1-j: the first source row ends up at the top.
    for (int64_t j = 0; j < rows; ++j) {
        const int32_t* source = pixels + (rows - 1 - j) * width;
        uint8_t* row = bitmap + kBitmapHeaderBytes + j * stride;
        for (int32_t x = 0; x < width; ++x) {
            row[x] = ToGray8(source[x]);
        }
    }
    *outBitmap = bitmap;
    outRecord->nImageSize = static_cast<int32_t>(size);
    return 1;
}

int MakeThumbnail(const uint8_t* bitmap, uint8_t** outThumbnail, int32_t* outSize) {
    if (bitmap == nullptr || outThumbnail == nullptr || outSize == nullptr) {
        return 0;
    }
    const uint32_t fileSize = Get32(bitmap + kFileSize);
    const int32_t width = GetSigned32(bitmap + kWidth);
    const int32_t height = GetSigned32(bitmap + kHeight);
    if (fileSize < static_cast<uint32_t>(kBitmapHeaderBytes) || Get16(bitmap + kBitCount) != 8 ||
        width <= 0 || height == 0) {
        return 0;
    }
    const int64_t rows = height < 0 ? -static_cast<int64_t>(height) : height;
    const int64_t stride = GrayRowStride(width);
    if (stride * rows > static_cast<int64_t>(fileSize) - kBitmapHeaderBytes) {
        return 0;
    }
    auto* thumbnail = static_cast<uint8_t*>(std::malloc(kThumbnailBytes));
    if (thumbnail == nullptr) {
        return 0;
    }
    std::memcpy(thumbnail, bitmap, kBitmapHeaderBytes);
    Put32(thumbnail + kFileSize, kThumbnailBytes);
    Put32(thumbnail + kWidth, kThumbnailWidth);
    Put32(thumbnail + kHeight, kThumbnailHeight);
    Put32(thumbnail + kImageSize, kThumbnailWidth * kThumbnailHeight);
    const int64_t columnStep = width / kThumbnailWidth;
    const int64_t rowStep = rows / kThumbnailHeight;
    const uint8_t* pixels = bitmap + kBitmapHeaderBytes;
    for (int64_t r = 0; r < kThumbnailHeight; ++r) {
        const uint8_t* source = pixels + r * rowStep * stride;
        uint8_t* row = thumbnail + kBitmapHeaderBytes + r * kThumbnailWidth;
        for (int64_t k = 0; k < kThumbnailWidth; ++k) {
            row[k] = source[k * columnStep];
        }
    }
    *outThumbnail = thumbnail;
    *outSize = kThumbnailBytes;
    return 1;
}
