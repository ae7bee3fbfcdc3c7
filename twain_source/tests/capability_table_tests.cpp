#include <gtest/gtest.h>

#include <cstring>

#include "twain_source/core/capability_table.h"
#include "twain_source/core/fix32.h"
#include "twain_source/core/supported_triplets.h"
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
    void SetUp() override { table.Build(AppProtocol::Twain1); }
    CapabilityAnswer Ask(uint16_t cap, uint16_t msg, AppProtocol protocol = AppProtocol::Twain1) {
        return table.Handle(cap, msg, 0, nullptr, 0, protocol);
    }
    CapabilityAnswer Set(uint16_t cap, const std::vector<uint8_t>& c, uint16_t conType = TWON_ONEVALUE,
                         AppProtocol protocol = AppProtocol::Twain1) {
        return table.Handle(cap, MSG_SET, conType, c.data(), c.size(), protocol);
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
    constexpr AppProtocol k1x = AppProtocol::Twain1, k15 = AppProtocol::Twain15;
    struct Case { uint16_t cap; uint16_t msg; AppProtocol protocol; uint16_t cc; };
    for (const Case& c : {Case{CAP_SUPPORTEDCAPS, MSG_GETCURRENT, k1x, TWCC_CAPBADOPERATION},
                          Case{ICAP_PIXELFLAVOR, MSG_SET, k1x, TWCC_CAPBADOPERATION},
                          Case{ICAP_PIXELFLAVOR, MSG_SET, k15, TWCC_BADCAP},
                          Case{ICAP_PIXELFLAVOR, MSG_RESET, k1x, TWCC_CAPBADOPERATION},
                          Case{0x1234, MSG_GET, k1x, TWCC_CAPUNSUPPORTED},
                          Case{0x1234, MSG_GET, k15, TWCC_BADCAP},
                          Case{ICAP_UNITS, MSG_GETFIRST, k1x, TWCC_CAPUNSUPPORTED},
                          Case{ICAP_UNITS, 0x99, k1x, TWCC_CAPUNSUPPORTED}}) {
        const CapabilityAnswer a = Ask(c.cap, c.msg, c.protocol);
        EXPECT_EQ(a.returnCode, TWRC_FAILURE) << c.cap;
        EXPECT_EQ(a.conditionCode, c.cc) << c.cap << " " << c.msg;
        EXPECT_TRUE(a.container.empty());
    }
    // A 2.x program may reset a fixed value: it is its default.
    for (const auto& [cap, value] : {std::pair{ICAP_PIXELFLAVOR, TWPF_CHOCOLATE}, std::pair{ICAP_COMPRESSION, TWCP_NONE}}) {
        const CapabilityAnswer a = Ask(cap, MSG_RESET, AppProtocol::Twain2);
        EXPECT_EQ(a.returnCode, TWRC_SUCCESS) << cap;
        ASSERT_EQ(a.container.size(), 2u + 6) << cap;
        EXPECT_EQ(U16(a.container, 2), value) << cap;
    }
    CCapabilityTable unopened;
    EXPECT_EQ(unopened.Handle(ICAP_UNITS, MSG_GET, 0, nullptr, 0, AppProtocol::Twain1).conditionCode,
              TWCC_CAPUNSUPPORTED);
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
    table.Build(AppProtocol::Twain1);
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_MEMORY);
    EXPECT_EQ(U32(Ask(ICAP_XFERMECH, MSG_GET).container, 6), 2u);
    const CapabilityAnswer reset = Ask(ICAP_XFERMECH, MSG_RESET);
    EXPECT_EQ(U16(reset.container, 2), TWSX_NATIVE);
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_NATIVE);
    EXPECT_EQ(table.CurrentBitDepth(), 8);
    EXPECT_EQ(table.CurrentPixelType(), TWPT_GRAY);
    EXPECT_EQ(table.CurrentXResolution(), 100.0f);
}

namespace {

constexpr AppProtocol k2x = AppProtocol::Twain2;

// What a 2.x program finds, row by row, in CAP_SUPPORTEDCAPS order: the item type, MSG_GET's
// container, the MSG_QUERYSUPPORT flags and the current value as MSG_GETCURRENT's 32-bit Item
// (FIX32 as Whole in the low half, Frac in the high one).
struct ExpectedRow {
    uint16_t cap;
    uint16_t itemType;
    uint16_t getContainer;
    uint32_t flags;
    uint32_t current;
};
constexpr uint32_t kRO = 0x0D, kRW = 0x1F;
constexpr ExpectedRow kTwain2Rows[] = {
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, TWON_ARRAY, kRO, 0},
    {ICAP_XFERMECH, TWTY_UINT16, TWON_ENUMERATION, kRW, TWSX_NATIVE},
    {ICAP_PIXELFLAVOR, TWTY_UINT16, TWON_ENUMERATION, kRO, TWPF_CHOCOLATE},
    {ICAP_PLANARCHUNKY, TWTY_UINT16, TWON_ENUMERATION, kRO, TWPC_CHUNKY},
    {ICAP_COMPRESSION, TWTY_UINT16, TWON_ENUMERATION, kRO, TWCP_NONE},
    {ICAP_PHYSICALWIDTH, TWTY_FIX32, TWON_ONEVALUE, kRO, 0x80000008},
    {ICAP_PHYSICALHEIGHT, TWTY_FIX32, TWON_ONEVALUE, kRO, 11},
    {ICAP_UNITS, TWTY_UINT16, TWON_ENUMERATION, kRW, TWUN_INCHES},
    {ICAP_PIXELTYPE, TWTY_UINT16, TWON_ENUMERATION, kRW, TWPT_GRAY},
    {ICAP_BITDEPTH, TWTY_UINT16, TWON_ENUMERATION, kRW, 8},
    {ICAP_BITORDER, TWTY_UINT16, TWON_ENUMERATION, kRO, TWBO_MSBFIRST},
    {ICAP_XRESOLUTION, TWTY_FIX32, TWON_ENUMERATION, kRW, 100},
    {ICAP_YRESOLUTION, TWTY_FIX32, TWON_ENUMERATION, kRW, 100},
    {CAP_XFERCOUNT, TWTY_INT16, TWON_ONEVALUE, kRW, 0xFFFF},
    {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWON_ENUMERATION, kRO, TWFF_BMP},
    {CAP_UICONTROLLABLE, TWTY_BOOL, TWON_ENUMERATION, kRO, 1},
    {CAP_SUPPORTEDDATS, TWTY_UINT32, TWON_ARRAY, kRO, 0},
    {CAP_DEVICEONLINE, TWTY_BOOL, TWON_ENUMERATION, kRO, 1},
    {ICAP_XNATIVERESOLUTION, TWTY_FIX32, TWON_ONEVALUE, kRO, 100},
    {ICAP_YNATIVERESOLUTION, TWTY_FIX32, TWON_ONEVALUE, kRO, 100},
    {CAP_FEEDERENABLED, TWTY_BOOL, TWON_ENUMERATION, kRW, 0},
};

}  // namespace

// The walk a 2.x program's conformance check makes over every capability: each one listed answers
// MSG_QUERYSUPPORT as TWTY_INT32 with a consistent set of flags, every message it claims succeeds
// with the right container and item type, every other one (help and labels too) fails with
// TWCC_CAPBADOPERATION, and its current value set back through MSG_SET stays what it was.
TEST_F(Table, Twain2ProgramsCanWalkEveryCapabilityTheSourceLists) {
    const CapabilityAnswer caps = Ask(CAP_SUPPORTEDCAPS, MSG_GET, k2x);
    ASSERT_EQ(caps.returnCode, TWRC_SUCCESS);
    ASSERT_EQ(U32(caps.container, 2), std::size(kTwain2Rows));
    for (size_t i = 0; i < std::size(kTwain2Rows); ++i) {
        const ExpectedRow& row = kTwain2Rows[i];
        const uint16_t cap = row.cap;
        SCOPED_TRACE(::testing::Message() << "cap 0x" << std::hex << cap);
        EXPECT_EQ(U16(caps.container, 6 + 2 * i), cap);

        const CapabilityAnswer query = Ask(cap, MSG_QUERYSUPPORT, k2x);
        ASSERT_EQ(query.returnCode, TWRC_SUCCESS);
        EXPECT_EQ(query.conType, TWON_ONEVALUE);
        EXPECT_EQ(U16(query.container, 0), TWTY_INT32);
        const uint32_t flags = U32(query.container, 2);
        EXPECT_EQ(flags, row.flags);
        const uint32_t gets = flags & (TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT);
        // Get messages come all three or none; set and reset come together and with the gets.
        EXPECT_TRUE(gets == 0 || gets == 0x0D);
        EXPECT_TRUE((flags & (TWQC_SET | TWQC_RESET)) == 0 || (flags & 0x1F) == 0x1F);

        struct Message { uint16_t msg; uint32_t flag; uint16_t conType; };
        const uint16_t valueContainer = row.getContainer == TWON_ARRAY ? TWON_ARRAY : TWON_ONEVALUE;
        for (const Message& m : {Message{MSG_GET, TWQC_GET, row.getContainer},
                                 Message{MSG_GETCURRENT, TWQC_GETCURRENT, valueContainer},
                                 Message{MSG_GETDEFAULT, TWQC_GETDEFAULT, valueContainer},
                                 Message{MSG_RESET, TWQC_RESET, valueContainer}, Message{MSG_GETHELP, 0, 0},
                                 Message{MSG_GETLABEL, 0, 0}, Message{MSG_GETLABELENUM, 0, 0},
                                 Message{MSG_GETFIRST, 0, 0}}) {
            const CapabilityAnswer a = Ask(cap, m.msg, k2x);
            // A fixed value may be reset without the flag: it stays the default.
            const bool fixedReset = m.msg == MSG_RESET && (flags & TWQC_GETDEFAULT) != 0 &&
                                    (flags & TWQC_SET) == 0 && row.getContainer != TWON_ARRAY;
            if ((flags & m.flag) == 0 && !fixedReset) {
                EXPECT_EQ(a.returnCode, TWRC_FAILURE) << m.msg;
                EXPECT_EQ(a.conditionCode, TWCC_CAPBADOPERATION) << m.msg;
                continue;
            }
            ASSERT_EQ(a.returnCode, TWRC_SUCCESS) << m.msg;
            EXPECT_EQ(a.conType, m.conType) << m.msg;
            EXPECT_EQ(U16(a.container, 0), row.itemType) << m.msg;
        }
        if ((flags & TWQC_GETCURRENT) != 0 && row.getContainer != TWON_ARRAY) {
            const CapabilityAnswer current = Ask(cap, MSG_GETCURRENT, k2x);
            EXPECT_EQ(U32(current.container, 2), row.current);
            if ((flags & TWQC_SET) != 0) {
                EXPECT_EQ(Set(cap, current.container, TWON_ONEVALUE, k2x).returnCode, TWRC_SUCCESS);
                EXPECT_EQ(Ask(cap, MSG_GETCURRENT, k2x).container, current.container);
            } else {
                EXPECT_EQ(Set(cap, current.container, TWON_ONEVALUE, k2x).conditionCode, TWCC_CAPBADOPERATION);
            }
        }
    }

    const CapabilityAnswer dats = Ask(CAP_SUPPORTEDDATS, MSG_GET, k2x);
    ASSERT_EQ(U32(dats.container, 2), kSupportedTriplets.size());
    ASSERT_EQ(dats.container.size(), 7 + 4 * kSupportedTriplets.size());
    for (size_t i = 0; i < kSupportedTriplets.size(); ++i) {
        EXPECT_EQ(U32(dats.container, 6 + 4 * i), SupportedDatCode(kSupportedTriplets[i])) << i;
    }
    EXPECT_EQ(U32(dats.container, 6), (1u << 16) | DAT_CAPABILITY);
}

// Answers that differ by protocol, and the 2.x-only values: 1.x programs see none of the rows
// added for 2.x and keep the containers they always had.
TEST_F(Table, AnswersByProtocol) {
    constexpr AppProtocol k1x = AppProtocol::Twain1, k15 = AppProtocol::Twain15;
    struct Case {
        AppProtocol protocol;
        uint16_t cap;
        uint16_t msg;
        std::vector<uint8_t> set;  // the MSG_SET container
        uint16_t rc;
        uint16_t cc;
        uint16_t conType;
    };
    const std::vector<Case> cases{
        {k2x, CAP_FEEDERENABLED, MSG_SET, OneValue16(TWTY_BOOL, 0), TWRC_SUCCESS, TWCC_SUCCESS, 0},
        {k2x, CAP_FEEDERENABLED, MSG_SET, OneValue16(TWTY_BOOL, 1), TWRC_FAILURE, TWCC_BADVALUE, 0},
        {k2x, CAP_DEVICEONLINE, MSG_SET, OneValue16(TWTY_BOOL, 1), TWRC_FAILURE, TWCC_CAPBADOPERATION, 0},
        {k2x, ICAP_XNATIVERESOLUTION, MSG_SET, OneValueFix(100.0f), TWRC_FAILURE, TWCC_CAPBADOPERATION, 0},
        {k2x, 0x1234, MSG_GET, {}, TWRC_FAILURE, TWCC_CAPUNSUPPORTED, 0},
        {k2x, ICAP_UNITS, 0x99, {}, TWRC_FAILURE, TWCC_CAPBADOPERATION, 0},
        {k1x, CAP_UICONTROLLABLE, MSG_GET, {}, TWRC_SUCCESS, TWCC_SUCCESS, TWON_ONEVALUE},
        {k1x, CAP_SUPPORTEDDATS, MSG_GET, {}, TWRC_FAILURE, TWCC_CAPUNSUPPORTED, 0},
        {k1x, CAP_FEEDERENABLED, MSG_GETCURRENT, {}, TWRC_FAILURE, TWCC_CAPUNSUPPORTED, 0},
        {k15, CAP_DEVICEONLINE, MSG_GET, {}, TWRC_FAILURE, TWCC_BADCAP, 0},
        {k1x, ICAP_UNITS, MSG_GETHELP, {}, TWRC_FAILURE, TWCC_CAPUNSUPPORTED, 0},
        {k1x, ICAP_UNITS, MSG_RESETALL, {}, TWRC_SUCCESS, TWCC_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        const CapabilityAnswer a = c.msg == MSG_SET ? Set(c.cap, c.set, TWON_ONEVALUE, c.protocol)
                                                    : Ask(c.cap, c.msg, c.protocol);
        EXPECT_EQ(a.returnCode, c.rc) << c.cap << " " << c.msg;
        EXPECT_EQ(a.conditionCode, c.cc) << c.cap << " " << c.msg;
        EXPECT_EQ(a.conType, c.conType) << c.cap << " " << c.msg;
    }
    const CapabilityAnswer caps = Ask(CAP_SUPPORTEDCAPS, MSG_GET);
    EXPECT_EQ(U32(caps.container, 2), 16u);
}

TEST_F(Table, ResetAllPutsEverySettableValueBackToItsDefault) {
    ASSERT_EQ(Set(ICAP_XFERMECH, OneValue16(TWTY_UINT16, TWSX_MEMORY)).returnCode, TWRC_SUCCESS);
    ASSERT_EQ(Set(ICAP_UNITS, OneValue16(TWTY_UINT16, TWUN_PIXELS)).returnCode, TWRC_SUCCESS);
    ASSERT_EQ(Set(CAP_XFERCOUNT, OneValue16(TWTY_INT16, 5)).returnCode, TWRC_SUCCESS);
    EXPECT_EQ(table.CurrentXferCount(), 5);
    // The capability is not looked at; 1.9 programs may ask too.
    const CapabilityAnswer all = Ask(0x1234, MSG_RESETALL, AppProtocol::Twain1);
    EXPECT_EQ(all.returnCode, TWRC_SUCCESS);
    EXPECT_EQ(all.conditionCode, TWCC_SUCCESS);
    EXPECT_TRUE(all.container.empty());
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_NATIVE);
    EXPECT_EQ(U16(Ask(ICAP_UNITS, MSG_GETCURRENT).container, 2), TWUN_INCHES);
    EXPECT_EQ(table.CurrentXferCount(), -1);
    table.Clear();
    EXPECT_EQ(Ask(0, MSG_RESETALL, k2x).conditionCode, TWCC_SEQERROR);

    // A 2.x program's session starts from the defaults; a 1.x program's keeps what was set.
    table.Build(AppProtocol::Twain1);
    ASSERT_EQ(Set(ICAP_XFERMECH, OneValue16(TWTY_UINT16, TWSX_FILE)).returnCode, TWRC_SUCCESS);
    table.Clear();
    table.Build(AppProtocol::Twain1);
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT).container, 2), TWSX_FILE);
    table.Clear();
    table.Build(k2x);
    EXPECT_EQ(U16(Ask(ICAP_XFERMECH, MSG_GETCURRENT, k2x).container, 2), TWSX_NATIVE);
}
