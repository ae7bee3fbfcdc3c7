#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "twain_source/core/dib_image.h"

using namespace qor::twain;

namespace {

// An 8-bit grey BMP file image as QOR APP stores it; pixel (x, row from the bottom) = x + 3 row.
std::vector<uint8_t> GreyBmp(int32_t width, int32_t height) {
    const uint32_t stride = (static_cast<uint32_t>(width) + 3) & ~3u;
    std::vector<uint8_t> file(1078 + stride * height, 0);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(file.data() + at, &v, 4); };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, 1078);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    file[26] = 1;
    file[28] = 8;
    for (int i = 0; i < 256; ++i) std::memset(file.data() + 54 + 4 * i, i, 3);
    for (int32_t row = 0; row < height; ++row) {
        for (int32_t x = 0; x < width; ++x) file[1078 + row * stride + x] = static_cast<uint8_t>(x + 3 * row);
    }
    return file;
}

}  // namespace

TEST(LoadDib, GreyFileImageBecomesAPackedDibAndWritesBackByteForByte) {
    const std::vector<uint8_t> file = GreyBmp(600, 400);
    const auto dib = LoadDib(file.data(), file.size());
    ASSERT_TRUE(dib);
    EXPECT_EQ(dib->bytes.size(), 40u + 1024 + 240000);
    EXPECT_EQ(dib->width, 600);
    EXPECT_EQ(dib->height, 400);
    EXPECT_EQ(dib->colorCount, 256u);
    EXPECT_EQ(dib->stride, 600u);
    const std::vector<uint8_t> back = DibToBmpFile(*dib);
    EXPECT_EQ(back.size(), file.size());
    EXPECT_EQ(back, file);

    // Without its file header, and with an OS/2 core header and 3-byte palette entries.
    const auto bare = LoadDib(file.data() + 14, file.size() - 14);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->bytes, dib->bytes);
    std::vector<uint8_t> core{12, 0, 0, 0, 5, 0, 2, 0, 1, 0, 8, 0};
    for (int i = 0; i < 256; ++i) core.insert(core.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    core.insert(core.end(), {1, 2, 3, 4, 5, 0, 0, 0, 6, 7, 8, 9, 10, 0, 0, 0});
    const auto os2 = LoadDib(core.data(), core.size());
    ASSERT_TRUE(os2);
    EXPECT_EQ(os2->stride, 8u);
    EXPECT_EQ(os2->bytes[40 + 4 * 7], 7);
    EXPECT_EQ(os2->bytes[40 + 4 * 7 + 3], 0);
    EXPECT_EQ(os2->bytes[os2->bitsOffset + 8], 6);
}

TEST(LoadDib, RefusesWhatIsNotACompleteBitmap) {
    const std::vector<uint8_t> good = GreyBmp(13, 7);
    auto edited = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> f = good;
        std::memcpy(f.data() + at, &v, 4);
        return f;
    };
    const std::vector<std::vector<uint8_t>> bad{
        {},
        std::vector<uint8_t>(good.begin(), good.end() - 1),  // one pixel short
        std::vector<uint8_t>(good.begin(), good.begin() + 60),
        edited(14, 64),          // unknown header size
        edited(18, 0),           // no width
        edited(22, 0xFFFFFFF9),  // top-down
        edited(22, 0x7FFFFFFF),  // hostile height
        edited(30, 1),           // compressed
        edited(46, 1000),        // more colours than 8 bits have
        edited(10, 0xFFFFFF00),  // rows beyond the end
    };
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(LoadDib(bad[i].data(), bad[i].size())) << i;
}

TEST(RowCursor, TopRowFirstWholeRowsAndTheBottomRowEndsTheTransfer) {
    const std::vector<uint8_t> file = GreyBmp(600, 400);
    const auto dib = LoadDib(file.data(), file.size());
    ASSERT_TRUE(dib);
    CDibRowCursor cursor;
    std::vector<uint8_t> buffer(65535), image;
    std::vector<uint32_t> offsets, rows;
    cursor.Start(&*dib);
    RowCopyResult r;
    do {
        r = cursor.Copy(buffer.data(), static_cast<uint32_t>(buffer.size()));
        ASSERT_NE(r.status, RowCopy::NoDib);
        offsets.push_back(r.yOffset);
        rows.push_back(r.rows);
        image.insert(image.end(), buffer.begin(), buffer.begin() + r.bytesWritten);
    } while (r.status == RowCopy::Copied);
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 109, 218, 327}));
    EXPECT_EQ(rows, (std::vector<uint32_t>{109, 109, 109, 73}));
    ASSERT_EQ(image.size(), 240000u);
    EXPECT_EQ(image[0], static_cast<uint8_t>(3 * 399));  // top image row = last stored row
    EXPECT_EQ(image[399 * 600 + 5], static_cast<uint8_t>(5));
    EXPECT_EQ(cursor.Copy(buffer.data(), 65535).status, RowCopy::NoDib);

    // Padded rows: 13 pixels take 16 bytes; a buffer shorter than a row is refused.
    const std::vector<uint8_t> odd = GreyBmp(13, 7);
    const auto small = LoadDib(odd.data(), odd.size());
    ASSERT_TRUE(small);
    cursor.Start(&*small);
    EXPECT_EQ(cursor.Copy(buffer.data(), 15).status, RowCopy::BufferTooSmall);
    r = cursor.Copy(buffer.data(), 40);
    EXPECT_EQ(r.rows, 2u);
    EXPECT_EQ(r.bytesWritten, 32u);
    cursor.Reset();
    EXPECT_EQ(cursor.Copy(buffer.data(), 40).status, RowCopy::NoDib);

    int32_t w, h;
    BmpFileSize(file.data(), file.size(), &w, &h);
    EXPECT_EQ(w, 600);
    EXPECT_EQ(h, 400);
    BmpFileSize(nullptr, 0, &w, &h);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(h, -1);
}
