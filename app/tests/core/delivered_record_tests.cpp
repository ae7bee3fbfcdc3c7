// The record of delivered images as a file: what a line must be, what is skipped, and the text
// written for it.
#include <gtest/gtest.h>

#include "app/core/delivered_record.h"

namespace {

TEST(DeliveredRecord, KeepsSoundLinesAndWritesThemBackInOrder) {
    struct Case {
        const char* text;
        DeliveredRecord expected;
    } cases[] = {
        {"113005120.bmp 1A2B3C4D\r\n", {{"113005120.bmp", 0x1A2B3C4Du}}},
        {"113005120.bmp 1a2b3c4d", {{"113005120.bmp", 0x1A2B3C4Du}}},  // no line end
        {"113005120.bmp 0\n090000001.bmp FFFFFFFF  \r\n",
         {{"113005120.bmp", 0u}, {"090000001.bmp", 0xFFFFFFFFu}}},
        {"113005120.bmp 1\r\n113005120.bmp 2\r\n", {{"113005120.bmp", 2u}}},  // the last counts
        // Skipped: no time of day, another file, a path, too many or no digits, not hex, two
        // blanks, nothing at all.
        {"250000000.bmp 1\r\nImageInfo.ini 1\r\n..\\113005120.bmp 1\r\n"
         "113005120.bmp 123456789\r\n113005120.bmp \r\n113005120.bmp 12G4\r\n"
         "113005120.bmp  1\r\n\r\n\r\n",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.expected, ParseDeliveredRecord(c.text));
    }
    EXPECT_EQ("090000001.bmp FFFFFFFF\r\n113005120.bmp 0000000A\r\n",
              FormatDeliveredRecord({{"113005120.bmp", 10u}, {"090000001.bmp", 0xFFFFFFFFu}}));
    EXPECT_EQ("", FormatDeliveredRecord({}));
}

} // namespace
