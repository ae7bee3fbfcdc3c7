// The icon files as the generator wrote them into the build tree: valid .ico structure at every
// size, masks that agree with alpha, and pictures that say what they mean.
#include "external/qor_icons/gen/icon_art.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t Get16(const std::vector<uint8_t>& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

// One decoded image of an .ico file, checked field by field while decoding.
std::vector<Rgba> DecodeImage(const std::vector<uint8_t>& file, int index, int expectedSize) {
    const size_t entry = 6 + 16 * static_cast<size_t>(index);
    EXPECT_EQ(file.at(entry), expectedSize);
    EXPECT_EQ(Get16(file, entry + 6), 32u);
    const uint32_t bytes = Get32(file, entry + 8);
    const uint32_t offset = Get32(file, entry + 12);
    EXPECT_LE(offset + bytes, file.size());
    const uint32_t n = static_cast<uint32_t>(expectedSize);
    const uint32_t maskRow = (n + 31) / 32 * 4;
    EXPECT_EQ(bytes, 40 + n * n * 4 + maskRow * n);
    EXPECT_EQ(Get32(file, offset), 40u);
    EXPECT_EQ(Get32(file, offset + 4), n);
    EXPECT_EQ(Get32(file, offset + 8), 2 * n);
    std::vector<Rgba> pixels(n * n);
    for (uint32_t row = 0; row < n; ++row) {  // bottom-up
        for (uint32_t x = 0; x < n; ++x) {
            const size_t at = offset + 40 + (row * n + x) * 4;
            const Rgba p{file.at(at + 2), file.at(at + 1), file.at(at), file.at(at + 3)};
            pixels[(n - 1 - row) * n + x] = p;
            const size_t maskAt = offset + 40 + n * n * 4 + row * maskRow + x / 8;
            const bool transparent = (file.at(maskAt) & (0x80 >> (x % 8))) != 0;
            EXPECT_EQ(transparent, p.a < 128) << "mask at " << x << "," << n - 1 - row;
        }
    }
    return pixels;
}

struct Census {
    int opaque = 0, green = 0, red = 0, grey = 0, orange = 0;
};

Census Count(const std::vector<Rgba>& pixels) {
    Census c;
    for (const Rgba& p : pixels) {
        if (p.a < 255) {
            continue;
        }
        ++c.opaque;
        c.green += p.g > p.r + 60 && p.g > p.b + 60;
        c.red += p.r > p.g + 120 && p.r > p.b + 120;
        c.grey += std::abs(p.r - p.g) < 8 && std::abs(p.g - p.b) < 8 && p.r > 90 && p.r < 230;
        c.orange += p.r > 200 && p.g > 100 && p.g < 180 && p.b < 60;
    }
    return c;
}

std::vector<uint8_t> ReadIcon(const std::string& name) {
    std::ifstream in(std::string(QOR_ICON_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(IconFiles, EveryFileHoldsEverySizeWithTransparentCorners) {
    for (const IconFile& icon : kIconFiles) {
        SCOPED_TRACE(icon.fileName);
        const std::vector<uint8_t> file = ReadIcon(icon.fileName);
        ASSERT_GT(file.size(), 6u);
        EXPECT_EQ(Get16(file, 0), 0u);
        EXPECT_EQ(Get16(file, 2), 1u);
        ASSERT_EQ(Get16(file, 4), kIconSizes.size());
        for (size_t i = 0; i < kIconSizes.size(); ++i) {
            const std::vector<Rgba> pixels = DecodeImage(file, static_cast<int>(i), kIconSizes[i]);
            EXPECT_EQ(pixels.front().a, 0);
            EXPECT_EQ(pixels.back().a, 0);
        }
    }
}

// Colour census at the tray's 16 pixels, where recognising the state is hardest.
TEST(IconFiles, PicturesSayWhatTheyMean) {
    auto census = [](const char* name) { return Count(DecodeImage(ReadIcon(name), 0, 16)); };
    const Census ready = census("sensor_ready.ico");
    const Census off = census("sensor_not_connected.ico");
    const Census error = census("sensor_error.ico");
    const Census frame1 = census("images_1.ico");
    const Census frame2 = census("images_2.ico");
    EXPECT_GT(ready.green, ready.opaque / 2);
    EXPECT_EQ(ready.red, 0);
    EXPECT_GT(off.grey, off.opaque / 5);
    EXPECT_GT(off.red, off.opaque / 6);
    EXPECT_EQ(off.green, 0);
    EXPECT_GT(error.red, error.opaque / 2);
    EXPECT_EQ(error.green, 0);
    EXPECT_EQ(frame1.orange, 0);
    EXPECT_GT(frame2.orange, 5);
}

}  // namespace
