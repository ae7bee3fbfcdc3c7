#include <gtest/gtest.h>

#include <string>

#include "twain_source/core/state_rules.h"
#include "twain_source/core/twain_codes.h"

using namespace qor::twain;

TEST(StateRules, EachOperationAcceptsItsStatesOnly) {
    struct Case { uint32_t dg; uint16_t dat; uint16_t msg; const char* allowed; };  // states 3..7
    for (const Case& c : {Case{DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, "11111"},
                          Case{DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, "01111"},
                          Case{DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, "01000"},
                          Case{DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, "00111"},
                          Case{DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, "01111"},
                          Case{DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, "00011"},
                          // Once accepted in any state: in state 4 it announced an image of the
                          // disk queue and went to state 6 without an enabled source.
                          Case{DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, "00111"},
                          Case{DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, "01110"},
                          Case{DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, "00010"},
                          Case{DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, "00011"},
                          Case{DG_IMAGE, DAT_PALETTE8, MSG_GET, "01110"}}) {
        const StateRule* rule = FindStateRule(c.dg, c.dat, c.msg);
        ASSERT_NE(rule, nullptr) << c.dat;
        std::string got;
        for (int32_t s = kState3; s <= kState7; s += 100) got += StateAllowed(*rule, s) ? '1' : '0';
        EXPECT_EQ(got, c.allowed) << c.dat << " " << c.msg;
        EXPECT_FALSE(StateAllowed(*rule, 0));
        EXPECT_FALSE(StateAllowed(*rule, 450));
    }
    // Operations accepted in every state have no rule.
    EXPECT_EQ(FindStateRule(DG_CONTROL, DAT_CAPABILITY, MSG_GET), nullptr);
    EXPECT_EQ(FindStateRule(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET), nullptr);
    EXPECT_STREQ(FindStateRule(DG_IMAGE, DAT_IMAGEINFO, MSG_GET)->context, "General failure in transfer.  ");
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
