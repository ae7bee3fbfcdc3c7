#include <gtest/gtest.h>

#include <string>

#include "twain_source/core/state_rules.h"
#include "twain_source/core/twain_codes.h"

using namespace qor::twain;

// Each row: the program's protocol, the triplet, and the states 3..7 it is accepted in ("" when
// no rule stops it: accepted in any state, or refused by its handler as no operation of its DAT).
TEST(StateRules, EachOperationAcceptsItsStatesOnly) {
    constexpr AppProtocol k1x = AppProtocol::Twain1, k2x = AppProtocol::Twain2;
    struct Case { AppProtocol protocol; uint32_t dg; uint16_t dat; uint16_t msg; const char* allowed; };
    const Case cases[] = {
        {k1x, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, "11111"},
        {k1x, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, "01111"},
        {k1x, DG_CONTROL, DAT_IDENTITY, MSG_GET, ""},
        {k1x, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, "01000"},
        {k2x, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, "01000"},
        {k1x, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, "00111"},
        {k1x, DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, "01111"},
        {k1x, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, "00011"},
        // Once accepted in any state: in state 4 it announced an image of the disk queue and went
        // to state 6 without an enabled source.
        {k1x, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, "00111"},
        {k1x, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, "01110"},
        {k2x, DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, "01000"},
        {k1x, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, "00010"},
        {k1x, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, "00011"},
        // The information of the image just transferred, read after the last memory strip.
        {k1x, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, "00011"},
        {k2x, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, "00011"},
        {k1x, DG_IMAGE, DAT_PALETTE8, MSG_GET, "01110"},
        {k2x, DG_IMAGE, DAT_PALETTE8, MSG_SET, "01000"},
        // The transfers have MSG_GET only: anything else is a bad protocol in every state, not a
        // sequence error (a 2.x program's conformance check asks this in state 4).
        {k2x, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_SET, ""},
        {k2x, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_SET, ""},
        {k1x, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_SET, ""},
        {k2x, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, "00010"},
        // 2.x negotiates in state 4 and reads on; 1.x programs keep negotiating in any state.
        {k2x, DG_CONTROL, DAT_CAPABILITY, MSG_SET, "01000"},
        {k2x, DG_CONTROL, DAT_CAPABILITY, MSG_RESET, "01000"},
        {k2x, DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, "01000"},
        {k1x, DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, "01000"},
        {k2x, DG_CONTROL, DAT_CAPABILITY, MSG_GET, ""},
        {k1x, DG_CONTROL, DAT_CAPABILITY, MSG_SET, ""},
        {k2x, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, "01000"},
        {k2x, DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, "01000"},
        {k2x, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, "01110"},
        {k1x, DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, ""},
        {k2x, DG_IMAGE, DAT_GRAYRESPONSE, MSG_SET, "01000"},
        {k2x, DG_IMAGE, DAT_JPEGCOMPRESSION, MSG_GET, "01110"},
        {k1x, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, "10000"},
        {k2x, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, "10000"},
    };
    for (const Case& c : cases) {
        const StateRule* rule = FindStateRule(c.dg, c.dat, c.msg, c.protocol);
        std::string got;
        if (rule != nullptr) {
            for (int32_t s = kState3; s <= kState7; s += 100) got += StateAllowed(*rule, s) ? '1' : '0';
            EXPECT_FALSE(StateAllowed(*rule, 0));
            EXPECT_FALSE(StateAllowed(*rule, 450));
            EXPECT_EQ(rule->quiet, c.dat == DAT_CAPABILITY);  // capability refusals show no box
        }
        EXPECT_EQ(got, c.allowed) << c.dat << " " << c.msg << " 2.x " << (c.protocol == k2x);
    }
    EXPECT_STREQ(FindStateRule(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, k1x)->context, "General failure in transfer.  ");
}

TEST(StateRules, ConditionTextsAndLanguageTable) {
    EXPECT_STREQ(ConditionText(TWCC_SEQERROR), "DG DAT MSG is out of expected sequence.");
    EXPECT_STREQ(ConditionText(TWCC_LOWMEMORY),
                 "Low Memory Condition encountered, free up some memory and try again.");
    EXPECT_STREQ(ConditionText(TWCC_CAPUNSUPPORTED), "Unknown Error value in condition code.");
    struct Case { uint16_t twlg; uint16_t id; };
    for (const Case& c : {Case{0, 0x0406}, Case{2, 0x0009}, Case{6, 0x0407}, Case{13, 0x0409},
                          Case{89, 0x0800}, Case{96, 0x0860}, Case{111, 0x0800}, Case{112, 0x0420},
                          Case{113, 0x002A}, Case{114, 0x0800}, Case{0xFFFF, 0x0800}}) {
        EXPECT_EQ(LanguageIdForTwlg(c.twlg), c.id) << c.twlg;
    }
}
