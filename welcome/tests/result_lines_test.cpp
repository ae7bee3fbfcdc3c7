// The welcome screen's reading of the result file and its layout arithmetic.
#include "welcome/core/result_lines.h"
#include "welcome/core/welcome_layout.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultLines, EveryLineEndIsOneBreakAndTheLastLineNeedsNone) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string content;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"one", {"one"}},
        {"one\r\ntwo\r\n", {"one", "two"}},
        {"one\ntwo", {"one", "two"}},
        {"one\rtwo\r", {"one", "two"}},
        {"\r\n\r\nthree", {"", "", "three"}},
        {"a\n\rb", {"a", "", "b"}},  // LF then CR: two ends
        {std::string("nul\0inside", 10), {std::string("nul\0inside", 10)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lines, welcome::SplitResultLines(c.content)) << c.content;
    }
}

TEST(WelcomeLayout, TwipsBecomeWholePixelsAt96Dpi) {
    EXPECT_EQ(748, welcome::TwipsToPixels(welcome::kClientWidthTwips));
    EXPECT_EQ(186, welcome::TwipsToPixels(welcome::kClientHeightTwips));
    EXPECT_EQ(97, welcome::TwipsToPixels(1455));
    EXPECT_EQ(33, welcome::TwipsToPixels(495));
    EXPECT_EQ(17, welcome::TwipsToPixels(255));
}

}  // namespace
