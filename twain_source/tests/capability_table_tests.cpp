#include <gtest/gtest.h>

#include <cstring>

#include "twain_source/core/capability_table.h"
#include "twain_source/core/fix32.h"
#include "twain_source/core/twain_codes.h"

using namespace qor::twain;

namespace {

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
std::vector<uint8_t> OneValue16(uint16_t type, uint16_t value) {
    std::vector<uint8_t> c(6, 0);
    std::memcpy(c.data(), &type, 2);
    std::memcpy(c.data() + 2, &value, 2);
    return c;
}
std::vector<uint8_t> OneValueFix(float value) {
    std::vector<uint8_t> c(6, 0);
    const uint16_t type = TWTY_FIX32;
    const Fix32 f = ToFix32(value);
    std::memcpy(c.data(), &type, 2);
    std::memcpy(c.data() + 2, &f.Whole, 2);
    std::memcpy(c.data() + 4, &f.Frac, 2);
    return c;
}

struct Table : ::testing::Test {
    CCapabilityTable table;
    void SetUp() override { table.Build(); }
    CapabilityAnswer Ask(uint16_t cap, uint16_t msg, bool old = false) {
        return table.Handle(cap, msg, 0, nullptr, 0, old);
    }
    CapabilityAnswer Set(uint16_t cap, const std::vector<uint8_t>& c, uint16_t conType = TWON_ONEVALUE) {
        return table.Handle(cap, MSG_SET, conType, c.data(), c.size(), false);
    }
};

}  // namespace

TEST(Fix32, RoundsToNearestSixtyFifthThousandthAndBack) {
    struct Case { float value; int16_t whole; uint16_t frac; };
    for (const Case& c : {Case{100.0f, 100, 0}, Case{8.5f, 8, 0x8000}, Case{11.0f, 11, 0},
                          Case{-1.5f, -2, 0x8001}, Case{0.00001f, 0, 1}, Case{1e9f, 32767, 0xFFFF}}) {
        const Fix32 f = ToFix32(c.value);
        EXPECT_EQ(f.Whole, c.whole) << c.value;
        EXPECT_EQ(f.Frac, c.frac) << c.value;
    }
    EXPECT_EQ(FromFix32(Fix32{100, 0}), 100.0f);
    EXPECT_EQ(FromFix32(Fix32{8, 0x8000}), 8.5f);
}

TEST_F(Table, ContainersHaveTheStandardLayoutsAndExactSizes) {
    const CapabilityAnswer caps = Ask(CAP_SUPPORTEDCAPS, MSG_GET);
    ASSERT_EQ(caps.returnCode, TWRC_SUCCESS);
    EXPECT_EQ(caps.conType, TWON_ARRAY);
    ASSERT_EQ(caps.container.size(), 16u * 2 + 7);
    EXPECT_EQ(U16(caps.container, 0), TWTY_UINT16);
    EXPECT_EQ(U32(caps.container, 2), 16u);
    const uint16_t order[] = {CAP_SUPPORTEDCAPS, ICAP_XFERMECH, ICAP_PIXELFLAVOR, ICAP_PLANARCHUNKY,
                              ICAP_COMPRESSION, ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_UNITS,
                              ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_BITORDER, ICAP_XRESOLUTION,
                              ICAP_YRESOLUTION, CAP_XFERCOUNT, ICAP_IMAGEFILEFORMAT, CAP_UICONTROLLABLE};
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(U16(caps.container, 6 + 2 * i), order[i]) << i;

    const CapabilityAnswer depth = Ask(ICAP_BITDEPTH, MSG_GET);
    ASSERT_EQ(depth.container.size(), 2u + 15);
    EXPECT_EQ(depth.conType, TWON_ENUMERATION);
    EXPECT_EQ(U32(depth.container, 2), 1u);
    EXPECT_EQ(U32(depth.container, 6), 0u);
    EXPECT_EQ(U32(depth.container, 10), 0u);
    EXPECT_EQ(U16(depth.container, 14), 8);

    const CapabilityAnswer xres = Ask(ICAP_XRESOLUTION, MSG_GET);
    ASSERT_EQ(xres.container.size(), 4u + 15);
    EXPECT_EQ(U16(xres.container, 14), 100);
    EXPECT_EQ(U16(xres.container, 16), 0);

    const CapabilityAnswer width = Ask(ICAP_PHYSICALWIDTH, MSG_GET);
    ASSERT_EQ(width.container.size(), 4u + 6);
    EXPECT_EQ(width.conType, TWON_ONEVALUE);
    EXPECT_EQ(U16(width.container, 2), 8);
    EXPECT_EQ(U16(width.container, 4), 0x8000);

    const CapabilityAnswer count = Ask(CAP_XFERCOUNT, MSG_GETCURRENT);
    ASSERT_EQ(count.container.size(), 2u + 6);
    EXPECT_EQ(U32(count.container, 2), 0xFFFFu);  // -1 as a zero-extended 16-bit item

    const CapabilityAnswer units = Ask(ICAP_UNITS, MSG_QUERYSUPPORT);
    EXPECT_EQ(units.conType, TWON_ONEVALUE);
    EXPECT_EQ(U16(units.container, 0), TWTY_UINT32);
    EXPECT_EQ(U32(units.container, 2), 31u);
    EXPECT_EQ(U32(Ask(CAP_SUPPORTEDCAPS, MSG_QUERYSUPPORT).container, 2), 1u);
}

// Every enumeration names items it holds as its current and default value, and every readable
// value can be read: ICAP_BITORDER once answered an empty list whose current index pointed past
// its end (an application reading that item read past the container).
TEST_F(Table, EveryEnumerationPointsInsideItsItems) {
    for (uint16_t cap : {ICAP_XFERMECH, ICAP_PIXELFLAVOR, ICAP_PLANARCHUNKY, ICAP_COMPRESSION,
                         ICAP_UNITS, ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_BITORDER, ICAP_XRESOLUTION,
                         ICAP_YRESOLUTION, ICAP_IMAGEFILEFORMAT}) {
        const CapabilityAnswer a = Ask(cap, MSG_GET);
        ASSERT_EQ(a.returnCode, TWRC_SUCCESS) << cap;
        ASSERT_EQ(a.conType, TWON_ENUMERATION) << cap;
        const uint32_t items = U32(a.container, 2);
        EXPECT_GT(items, 0u) << cap;
        EXPECT_LT(U32(a.container, 6), items) << cap;
        EXPECT_LT(U32(a.container, 10), items) << cap;
        EXPECT_GE(a.container.size(), 14 + items * ItemSize(U16(a.container, 0))) << cap;
        EXPECT_EQ(Ask(cap, MSG_GETCURRENT).returnCode, TWRC_SUCCESS) << cap;
        EXPECT_EQ(Ask(cap, MSG_GETDEFAULT).returnCode, TWRC_SUCCESS) << cap;
    }
    const CapabilityAnswer order = Ask(ICAP_BITORDER, MSG_GET);
    ASSERT_EQ(order.container.size(), 2u * 2 + 15);
    EXPECT_EQ(U32(order.container, 2), 2u);
    EXPECT_EQ(U16(order.container, 14), TWBO_MSBFIRST);
    EXPECT_EQ(U16(order.container, 16), TWBO_LSBFIRST);
    const CapabilityAnswer current = Ask(ICAP_BITORDER, MSG_GETCURRENT);
    ASSERT_EQ(current.container.size(), 2u + 6);
    EXPECT_EQ(U16(current.container, 2), TWBO_MSBFIRST);
}

TEST_F(Table, FailuresCarryTheirConditionCodes) {
    struct Case { uint16_t cap; uint16_t msg; bool old; uint16_t cc; };
    for (const Case& c : {Case{CAP_SUPPORTEDCAPS, MSG_GETCURRENT, false, TWCC_CAPBADOPERATION},
                          Case{ICAP_PIXELFLAVOR, MSG_SET, false, TWCC_CAPBADOPERATION},
                          Case{ICAP_PIXELFLAVOR, MSG_SET, true, TWCC_BADCAP},
                          Case{0x1234, MSG_GET, false, TWCC_CAPUNSUPPORTED},
                          Case{0x1234, MSG_GET, true, TWCC_BADCAP},
                          Case{ICAP_UNITS, MSG_GETFIRST, false, TWCC_CAPUNSUPPORTED},
                          Case{ICAP_UNITS, 0x99, false, TWCC_CAPUNSUPPORTED}}) {
        const CapabilityAnswer a = Ask(c.cap, c.msg, c.old);
        EXPECT_EQ(a.returnCode, TWRC_FAILURE) << c.cap;
        EXPECT_EQ(a.conditionCode, c.cc) << c.cap << " " << c.msg;
        EXPECT_TRUE(a.container.empty());
    }
    CCapabilityTable unopened;
    EXPECT_EQ(unopened.Handle(ICAP_UNITS, MSG_GET, 0, nullptr, 0, false).conditionCode, TWCC_CAPUNSUPPORTED);
}

TEST_F(Table, SetRulesAndValuesThatSurviveCloseAndOpen) {
    struct Case { uint16_t cap; std::vector<uint8_t> c; uint16_t conType; uint16_t rc; uint16_t cc; };
    const std::vector<Case> cases{
        {CAP_XFERCOUNT, OneValue16(TWTY_INT16, 0), TWON_ONEVALUE, TWRC_FAILURE, TWCC_BADVALUE},
        {CAP_XFERCOUNT, OneValue16(TWTY_INT16, 65), TWON_ONEVALUE, TWRC_FAILURE, TWCC_BADVALUE},
        {CAP_XFERCOUNT, OneValue16(TWTY_INT16, 61), TWON_ONEVALUE, TWRC_SUCCESS, TWCC_SUCCESS},
        {CAP_XFERCOUNT, OneValue16(TWTY_INT16, 0xFFFF), TWON_ONEVALUE, TWRC_SUCCESS, TWCC_SUCCESS},
        {CAP_XFERCOUNT, OneValue16(TWTY_UINT16, 1), TWON_ONEVALUE, TWRC_FAILURE, TWCC_BADVALUE},
        {ICAP_XRESOLUTION, OneValueFix(150.0f), TWON_ONEVALUE, TWRC_FAILURE, TWCC_BADVALUE},
        {ICAP_XRESOLUTION, OneValueFix(100.0f), TWON_ONEVALUE, TWRC_SUCCESS, TWCC_SUCCESS},
        {ICAP_UNITS, OneValue16(TWTY_UINT16, TWUN_PIXELS), TWON_ENUMERATION, TWRC_SUCCESS, TWCC_BADVALUE},
        {ICAP_UNITS, OneValue16(TWTY_UINT16, TWUN_PIXELS), TWON_ARRAY, TWRC_FAILURE, TWCC_BADVALUE},
        {ICAP_UNITS, std::vector<uint8_t>{4, 0, 5}, TWON_ONEVALUE, TWRC_FAILURE, TWCC_BADVALUE},
        {ICAP_XFERMECH, OneValue16(TWTY_UINT16, TWSX_MEMORY), TWON_ONEVALUE, TWRC_SUCCESS, TWCC_SUCCESS},
    };
    for (const Case& c : cases) {
        const CapabilityAnswer a = Set(c.cap, c.c, c.conType);
        EXPECT_EQ(a.returnCode, c.rc) << c.cap;
        EXPECT_EQ(a.conditionCode, c.cc) << c.cap;
    }
    EXPECT_EQ(U16(Ask(ICAP_YRESOLUTION, MSG_GETCURRENT).container, 2), 100);

    table.Clear();
    EXPECT_EQ(Ask(ICAP_XFERMECH, MSG_GETCURRENT).conditionCode, TWCC_CAPUNSUPPORTED);
    table.Build();
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_MEMORY);
    EXPECT_EQ(U32(Ask(ICAP_XFERMECH, MSG_GET).container, 6), 2u);
    const CapabilityAnswer reset = Ask(ICAP_XFERMECH, MSG_RESET);
    EXPECT_EQ(U16(reset.container, 2), TWSX_NATIVE);
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_NATIVE);
    EXPECT_EQ(table.CurrentBitDepth(), 8);
    EXPECT_EQ(table.CurrentPixelType(), TWPT_GRAY);
    EXPECT_EQ(table.CurrentXResolution(), 100.0f);
}
