// The bitmap helpers and file names against hand-computed bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"

namespace {

struct Freed {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Bytes = std::unique_ptr<uint8_t, Freed>;

uint32_t Field(const uint8_t* b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b + at, 4);
    return v;
}

Bytes Make(const std::vector<int32_t>& pixels, int32_t width, int32_t height, int32_t* size) {
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    EXPECT_EQ(MakeGray8Bitmap(pixels.data(), static_cast<int32_t>(pixels.size()), width, height,
                              &bitmap, &record),
              1);
    *size = record.nImageSize;
    return Bytes(bitmap);
}

TEST(GrayBitmap, ThreeRowsOfFivePixelsByteForByte) {
    // Source row 0 must end up at the top, i.e. as the last row of the file.
    const std::vector<int32_t> pixels = {0,  2048, 4095, 4096, -1,    // top
                                         16, 17,   1,    4094, 100,   // middle
                                         1,  2,    3,    4,    4080}; // bottom
    int32_t size = 0;
    const Bytes bitmap = Make(pixels, 5, 3, &size);
    ASSERT_EQ(size, 1078 + 8 * 3);
    const uint8_t* b = bitmap.get();
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    const std::vector<std::pair<size_t, uint32_t>> fields = {
        {2, 1102}, {6, 0},   {10, 1078}, {14, 40}, {18, 5},   {22, 3}, {26, 0x00080001},
        {30, 0},   {34, 24}, {38, 0},    {42, 0},  {46, 256}, {50, 0}};
    for (const auto& [offset, value] : fields) {
        EXPECT_EQ(Field(b, offset), value) << "header offset " << offset;
    }
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(Field(b, 54 + 4 * i), static_cast<uint32_t>(i * 0x010101)) << "palette " << i;
    }
    const uint8_t rows[3][8] = {
        {0, 0, 0, 0, 254, 0, 0, 0}, {0, 1, 0, 254, 6, 0, 0, 0}, {0, 127, 255, 255, 0, 0, 0, 0}};
    EXPECT_EQ(std::memcmp(b + 1078, rows, sizeof rows), 0);
    EXPECT_EQ(IsValidGray8Bitmap(b, static_cast<size_t>(size)), 1);

    // A negative height means the same picture.
    int32_t flippedSize = 0;
    const Bytes same = Make(pixels, 5, -3, &flippedSize);
    EXPECT_EQ(std::memcmp(same.get(), b, static_cast<size_t>(size)), 0);
}

TEST(GrayBitmap, SensorSizesAndRefusedArguments) {
    for (auto [w, h, expected] : {std::tuple{1201, 861, 1037722}, std::tuple{999, 664, 665078}}) {
        std::vector<int32_t> frame(static_cast<size_t>(w * h), 4095);
        int32_t size = 0;
        const Bytes bitmap = Make(frame, w, h, &size);
        EXPECT_EQ(size, expected);
        EXPECT_EQ(IsValidGray8Bitmap(bitmap.get(), static_cast<size_t>(size)), 1);
    }
    std::vector<int32_t> pixels(12, 1);
    uint8_t* out = nullptr;
    ImageDataStruct record{};
    struct Case {
        const int32_t* pixels;
        int32_t capacity, width, height;
        uint8_t** out;
        ImageDataStruct* record;
    };
    for (const Case& c :
         {Case{nullptr, 12, 3, 4, &out, &record}, Case{pixels.data(), 12, 0, 4, &out, &record},
          Case{pixels.data(), 12, -3, 4, &out, &record},
          Case{pixels.data(), 12, 3, 0, &out, &record},
          Case{pixels.data(), 11, 3, 4, &out, &record},
          Case{pixels.data(), 11, 3, -4, &out, &record},
          Case{pixels.data(), 12, 3, 4, nullptr, &record},
          Case{pixels.data(), 12, 3, 4, &out, nullptr},
          Case{pixels.data(), 0x7FFFFFFF, 1, 0x7FFFFFFF, &out, &record}}) {
        EXPECT_EQ(MakeGray8Bitmap(c.pixels, c.capacity, c.width, c.height, c.out, c.record), 0);
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(SetGrayPalette(nullptr), 0);
}

TEST(GrayBitmap, CheckRefusesEveryBrokenField) {
    std::vector<int32_t> pixels(7 * 2, 1000);
    int32_t size = 0;
    const Bytes good = Make(pixels, 7, 2, &size);
    const std::vector<uint8_t> original(good.get(), good.get() + size);
    // Each case spoils one field: offset, new 32-bit value.
    const std::vector<std::pair<size_t, uint32_t>> spoilt = {
        {0, 0x4D43},      {2, 1093}, {10, 1077}, {18, 0},  {18, 0xFFFFFFFF}, {22, 0},
        {22, 0xFFFFFFFE}, {28, 24},  {30, 1},    {34, 14}, {18, 9}};
    for (const auto& [offset, value] : spoilt) {
        std::vector<uint8_t> bytes = original;
        const uint16_t low = static_cast<uint16_t>(value);
        offset == 0 || offset == 28 ? std::memcpy(&bytes[offset], &low, 2)
                                    : std::memcpy(&bytes[offset], &value, 4);
        EXPECT_EQ(IsValidGray8Bitmap(bytes.data(), bytes.size()), 0) << "offset " << offset;
    }
    EXPECT_EQ(IsValidGray8Bitmap(original.data(), original.size() - 1), 0);
    EXPECT_EQ(IsValidGray8Bitmap(original.data(), 54), 0);
    EXPECT_EQ(IsValidGray8Bitmap(nullptr, original.size()), 0);
}

TEST(GrayBitmap, ThumbnailSamplesEveryStepAndRepeatsNarrowColumns) {
    // 250 x 180: column step 2, row step 2. Pixel value encodes its place in the file.
    const int32_t w = 250, h = 180;
    std::vector<int32_t> pixels(static_cast<size_t>(w * h));
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            pixels[static_cast<size_t>(y * w + x)] = ((h - 1 - y) * 7 + x * 3) % 256 * 4095 / 255;
        }
    }
    int32_t size = 0;
    const Bytes source = Make(pixels, w, h, &size);
    uint8_t* thumbnail = nullptr;
    int32_t thumbnailSize = 0;
    ASSERT_EQ(MakeThumbnail(source.get(), &thumbnail, &thumbnailSize), 1);
    const Bytes owned(thumbnail);
    ASSERT_EQ(thumbnailSize, 11398);
    EXPECT_EQ(IsValidGray8Bitmap(thumbnail, 11398), 1);
    EXPECT_EQ(Field(thumbnail, 18), 120u);
    EXPECT_EQ(Field(thumbnail, 22), 86u);
    for (int r = 0; r < 86; ++r) {
        for (int k = 0; k < 120; ++k) {
            ASSERT_EQ(thumbnail[1078 + r * 120 + k], source.get()[1078 + (r * 2) * 252 + k * 2])
                << r << "," << k;
        }
    }
    // A 50-pixel-wide source repeats its first column; 40 rows repeat the first row.
    std::vector<int32_t> narrow(50 * 40);
    for (size_t i = 0; i < narrow.size(); ++i) {
        narrow[i] = static_cast<int32_t>(i);
    }
    const Bytes small = Make(narrow, 50, 40, &size);
    ASSERT_EQ(MakeThumbnail(small.get(), &thumbnail, &thumbnailSize), 1);
    const Bytes ownedSmall(thumbnail);
    for (int i = 0; i < 120 * 86; ++i) {
        ASSERT_EQ(thumbnail[1078 + i], small.get()[1078]);
    }
    // A file size field too small for the rows is refused.
    std::vector<uint8_t> cut(small.get(), small.get() + size);
    const uint32_t tooSmall = static_cast<uint32_t>(size - 1);
    std::memcpy(&cut[2], &tooSmall, 4);
    EXPECT_EQ(MakeThumbnail(cut.data(), &thumbnail, &thumbnailSize), 0);
    EXPECT_EQ(MakeThumbnail(nullptr, &thumbnail, &thumbnailSize), 0);
}

TEST(ImageFileNames, TimeOfDayDigitsAndCarries) {
    struct Case {
        ImageTime time;
        const char* name;
        int32_t number;
        ImageTime next;
    };
    const Case cases[] = {
        {{2026, 12, 1, 7, 14, 3, 5, 120},
         "140305120.bmp",
         140305120,
         {2026, 12, 1, 7, 14, 3, 5, 121}},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "000000000.bmp", 0, {0, 0, 0, 0, 0, 0, 0, 1}},
        {{0, 0, 0, 0, 13, 59, 59, 999}, "135959999.bmp", 135959999, {0, 0, 0, 0, 14, 0, 0, 0}},
        {{1, 2, 3, 4, 23, 59, 59, 999}, "235959999.bmp", 235959999, {1, 2, 3, 4, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ImageFileName(c.time), c.name);
        EXPECT_EQ(ImageFileNumber(c.time), c.number);
        EXPECT_EQ(ImageFileNameOfNumber(c.number), c.name);
        ImageTime back{};
        ASSERT_TRUE(TimeOfDayFromFileNumber(c.number, back));
        EXPECT_EQ(ImageFileName(back), c.name);
        ImageTime t = c.time;
        AdvanceOneMillisecond(t);
        EXPECT_EQ(std::memcmp(&t, &c.next, sizeof t), 0) << c.name;
    }
    ImageTime unused{};
    for (int32_t bad : {240000000, 6000000, 60000, -1}) {
        EXPECT_FALSE(TimeOfDayFromFileNumber(bad, unused)) << bad;
    }
}

} // namespace
