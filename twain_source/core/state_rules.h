// Which TWAIN states each operation of the source accepts: one table, consulted before dispatch,
// so no handler repeats a state check.
#pragma once
#include <cstdint>

#include "twain_source/core/app_protocol.h"

namespace qor::twain {

// m_nState values.
inline constexpr int32_t kState3 = 300, kState4 = 400, kState5 = 500, kState6 = 600, kState7 = 700;

struct StateRule {
    uint32_t dg;
    uint16_t dat;
    uint16_t msg;         // 0: every message of that DAT
    uint8_t states;       // bit n set: state n+3 allowed
    uint8_t protocols;    // kRuleFor1x, kRuleFor2x or both
    const char* context;  // failure context text
    bool quiet;           // refused with TWCC_SEQERROR but no log line or box (capabilities)
};

inline constexpr uint8_t kRuleFor1x = 1, kRuleFor2x = 2;

// The rule for a triplet from a program of that protocol, or null when the operation is accepted
// in any state. A message the DAT does not have finds no rule: its handler answers
// TWCC_BADPROTOCOL, in every state.
const StateRule* FindStateRule(uint32_t dg, uint16_t dat, uint16_t msg, AppProtocol protocol);
bool StateAllowed(const StateRule& rule, int32_t state);

// The condition text that follows a failure's context text in the log.
const char* ConditionText(uint16_t conditionCode);

// Windows language identifier for an application's TWLG_ code.
uint16_t LanguageIdForTwlg(uint16_t twlg);

}  // namespace qor::twain
