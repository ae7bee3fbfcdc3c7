// The toolkit's bitmap operations in the order an older caller uses them, and their refusals.
#include "external/imaging_toolkit/core/toolkit_bitmap.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace toolkit;

// A 3 x 2 picture stored row by row, then turned by every right angle.
TEST(ToolkitBitmap, RowsDepthsAndRightAngleTurns) {
    const uint8_t rows[2][3] = {{1, 2, 3}, {4, 5, 6}};
    struct Case {
        int32_t angle;
        int32_t width, height;
        uint8_t expected[6];  // rows top-down after the turn
    };
    const Case cases[] = {
        {0, 3, 2, {1, 2, 3, 4, 5, 6}},
        {9000, 2, 3, {4, 1, 5, 2, 6, 3}},  // clockwise: the left column becomes the top row
        {18000, 3, 2, {6, 5, 4, 3, 2, 1}},
        {27000, 2, 3, {3, 6, 2, 5, 1, 4}},
        {-9000, 2, 3, {3, 6, 2, 5, 1, 4}},
        {45000, 2, 3, {4, 1, 5, 2, 6, 3}},
    };
    for (const Case& c : cases) {
        for (int32_t bits : {8, 16}) {
            Bitmap bitmap;
            std::memset(&bitmap, 0xCD, sizeof bitmap);  // the caller's record holds anything
            ASSERT_EQ(kSuccess, CreateBitmap(&bitmap, 1, 3, 2, 0, kOrderGrey, nullptr, 0, nullptr, 0));
            EXPECT_EQ(8, bitmap.bitsPerPixel) << "0 asks for the default depth";
            EXPECT_EQ(4, bitmap.bytesPerLine);
            ASSERT_EQ(kSuccess, SetGreyDepth(&bitmap, bits));
            ASSERT_EQ(kSuccess, AccessBitmap(&bitmap));
            for (int32_t y = 0; y < 2; ++y) {
                uint8_t row[6] = {};
                for (int x = 0; x < 3; ++x) {
                    if (bits == 8) {
                        row[x] = rows[y][x];
                    } else {
                        row[2 * x + 1] = rows[y][x];  // little-endian word v << 8
                    }
                }
                EXPECT_EQ(bits == 8 ? 3 : 6, PutRow(&bitmap, row, y, bits == 8 ? 3u : 6u));
            }
            ASSERT_EQ(kSuccess, RotateBitmap(&bitmap, c.angle, kRotateResize, 0));
            ASSERT_EQ(kSuccess, ReleaseBitmap(&bitmap));
            ASSERT_EQ(c.width, bitmap.width) << c.angle;
            ASSERT_EQ(c.height, bitmap.height) << c.angle;
            const std::vector<uint8_t> display = DisplayRows(bitmap);
            for (int32_t i = 0; i < 6; ++i) {
                const int32_t x = i % c.width;
                const int32_t y = i / c.width;
                const uint32_t stored = bits == 8 ? c.expected[i] : c.expected[i] << 8u;
                EXPECT_EQ(stored, Pixel(bitmap, x, y)) << c.angle << " bits " << bits << " i " << i;
                EXPECT_EQ(c.expected[i], display[static_cast<size_t>(y) * 4 + x]);
            }
            FreeBitmap(&bitmap);
            EXPECT_FALSE(IsValid(&bitmap));
        }
    }
}

TEST(ToolkitBitmap, DepthConversionKeepsThePictureAndPaletteIsGrey) {
    Bitmap bitmap{};
    const uint8_t pixels[4] = {0, 128, 255, 0};
    ASSERT_EQ(kSuccess, CreateBitmap(&bitmap, 1, 3, 1, 8, kOrderGrey, nullptr, 0, pixels, 4));
    EXPECT_EQ(0x30u, bitmap.palette[4 * 0x30 + 1]);
    ASSERT_EQ(kSuccess, SetGreyDepth(&bitmap, 16));
    EXPECT_EQ(0x8080u, Pixel(bitmap, 1, 0));
    EXPECT_EQ(0xFFFFu, Pixel(bitmap, 2, 0));
    ASSERT_EQ(kSuccess, SetGreyDepth(&bitmap, 8));
    EXPECT_EQ(128u, Pixel(bitmap, 1, 0));
    FreeBitmap(&bitmap);
}

TEST(ToolkitBitmap, RefusesWhatItCannotDoWithoutTouchingMemory) {
    Bitmap bitmap{};
    EXPECT_EQ(kInvalidBitmap, CreateBitmap(nullptr, 1, 3, 2, 8, 2, nullptr, 0, nullptr, 0));
    EXPECT_EQ(kInvalidArgument, CreateBitmap(&bitmap, 1, 0, 2, 8, 2, nullptr, 0, nullptr, 0));
    EXPECT_EQ(kInvalidArgument, CreateBitmap(&bitmap, 1, 3, 70000, 8, 2, nullptr, 0, nullptr, 0));
    EXPECT_EQ(kInvalidArgument, CreateBitmap(&bitmap, 1, 3, 2, 24, 2, nullptr, 0, nullptr, 0));
    const uint8_t row[4] = {};
    EXPECT_EQ(kInvalidBitmap, AccessBitmap(&bitmap));
    EXPECT_EQ(kInvalidBitmap, PutRow(&bitmap, row, 0, 3));
    EXPECT_EQ(kInvalidBitmap, RotateBitmap(nullptr, 9000, 1, 0));
    ASSERT_EQ(kSuccess, CreateBitmap(&bitmap, 1, 3, 2, 8, 2, nullptr, 0, nullptr, 0));
    EXPECT_EQ(kNotAccessed, PutRow(&bitmap, row, 0, 3));
    AccessBitmap(&bitmap);
    EXPECT_EQ(kInvalidArgument, PutRow(&bitmap, row, 2, 3));
    EXPECT_EQ(kInvalidArgument, PutRow(&bitmap, nullptr, 0, 3));
    EXPECT_EQ(4, PutRow(&bitmap, row, 1, 4000)) << "never more than one row";
    EXPECT_EQ(kInvalidArgument, RotateBitmap(&bitmap, 4500, 1, 0));
    EXPECT_EQ(kInvalidArgument, RotateBitmap(&bitmap, 9000, 0, 0)) << "3 x 2 needs resizing";
    EXPECT_EQ(kInvalidArgument, SetGreyDepth(&bitmap, 12));
    FreeBitmap(&bitmap);
    FreeBitmap(&bitmap);  // twice is harmless
    EXPECT_TRUE(DisplayRows(bitmap).empty());
}

}  // namespace
