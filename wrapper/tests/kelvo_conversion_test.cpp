// The wrapper's conversions, pinned on the values older programs see.
#include "wrapper/core/kelvo_conversion.h"

#include <gtest/gtest.h>

namespace {

TEST(KelvoConversion, FrameValuesBecomeBytesAndWords) {
    struct Case {
        int32_t value;
        uint8_t byte;
        uint16_t word;
    };
    const Case cases[] = {
        {0, 0, 0},       {15, 0, 240},        {16, 1, 256},  {4095, 255, 65520},
        {2048, 128, 32768},
        // Outside 0..4095 the bits are kept as they fall (arithmetic shift, low 16 bits).
        {4096, 0, 0},    {-16, 255, 65280},   {0x12345, 0x34, 0x3450},
    };
    for (const Case& c : cases) {
        uint8_t byte = 0xAA;
        uint16_t word = 0xAAAA;
        kelvo::ConvertTo8Bits(&c.value, 1, &byte);
        kelvo::ConvertTo16Bits(&c.value, 1, &word);
        EXPECT_EQ(c.byte, byte) << c.value;
        EXPECT_EQ(c.word, word) << c.value;
    }
}

TEST(KelvoConversion, PaletteGeometryAndPaintExtent) {
    uint8_t palette[1024];
    kelvo::FillGreyPalette(palette);
    EXPECT_EQ(0x80, palette[4 * 0x80]);
    EXPECT_EQ(0x80, palette[4 * 0x80 + 2]);
    EXPECT_EQ(0, palette[4 * 0x80 + 3]);
    EXPECT_EQ(255, palette[1022]);

    EXPECT_EQ(1201u * 861u * 4u, kelvo::FrameBytes(1201, 861));
    EXPECT_EQ(0u, kelvo::FrameBytes(0, 861)) << "an uninitialised device reports no geometry";
    EXPECT_EQ(0u, kelvo::FrameBytes(1201, -1));
    EXPECT_EQ(0u, kelvo::FrameBytes(65536, 65536)) << "beyond the 32-bit byte count";

    for (int32_t orientation = 0; orientation <= 9; ++orientation) {
        const bool turned = orientation == 4 || orientation == 5 || orientation == 7 ||
                            orientation == 8;
        const kelvo::Extent extent = kelvo::PaintExtent(861, 1201, orientation);
        EXPECT_EQ(turned ? 1201 : 861, extent.width) << orientation;
        EXPECT_EQ(turned ? 861 : 1201, extent.height) << orientation;
    }
}

}  // namespace
