#include "twain_source/core/state_rules.h"

#include <array>

#include "twain_source/core/twain_codes.h"

namespace qor::twain {

namespace {

constexpr uint8_t S(int a) { return static_cast<uint8_t>(1u << (a - 3)); }
constexpr uint8_t k3to7 = S(3) | S(4) | S(5) | S(6) | S(7), k4 = S(4), k4to6 = S(4) | S(5) | S(6), k4to7 = k4to6 | S(7),
                  k5to7 = S(5) | S(6) | S(7), k6 = S(6), k6to7 = S(6) | S(7);

constexpr const char* kPending = "General failure in response to DAT_PENDINGXFER.  ";

constexpr std::array<StateRule, 16> kRules{{
    // In states 4 to 7 a session the manager dropped is ended first.
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, k3to7, "General failure in response to MSG_OPENDS.  "},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, k4to7, "General failure in response to MSG_CLOSEDS.  "},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, k4, "General failure in response to MSG_ENABLEDS.  "},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, k5to7,
     "General failure in response to MSG_DISABLEDS.  "},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, k4to7, kPending},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, k6to7, kPending},
    // Ends a transfer; in state 5 it offers an image that is waiting. Before MSG_ENABLEDS it would
    // announce an image without an enabled source.
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, k5to7, kPending},
    {DG_CONTROL, DAT_SETUPMEMXFER, 0, k4to6,
     "General failure in response to DAT_SETUPMEMXFER, not supported.  "},
    {DG_CONTROL, DAT_SETUPFILEXFER, 0, k4to6,
     "General failure in response to DAT_SETUPFILEXFER, not supported.  "},
    {DG_CONTROL, DAT_XFERGROUP, 0, k4to6, "General failure in response to DAT_XFERGROUP, not supported.  "},
    {DG_IMAGE, DAT_PALETTE8, 0, k4to6, "General failure in response to DAT_PALETTE8.  "},
    {DG_IMAGE, DAT_IMAGEINFO, 0, k6, "General failure in transfer.  "},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, 0, k6, "General failure in response to DAT_IMAGENATIVEXFER.  "},
    // A memory transfer starts in state 6 and goes on in state 7; in earlier states there is
    // nothing to copy.
    {DG_IMAGE, DAT_IMAGEMEMXFER, 0, k6to7, "General failure in response to DAT_IMAGEMEMXFER.  "},
    // A file transfer is refused before an image can exist (states 3 to 5).
    {DG_IMAGE, DAT_IMAGEFILEXFER, 0, k6to7, "General failure in response to DAT_IMAGEINFO.  "},
    {0, 0, 0, 0, nullptr},
}};

}  // namespace

const StateRule* FindStateRule(uint32_t dg, uint16_t dat, uint16_t msg) {
    for (const StateRule& rule : kRules) {
        if (rule.context == nullptr) break;
        if (rule.dg == dg && rule.dat == dat && (rule.msg == 0 || rule.msg == msg)) return &rule;
    }
    return nullptr;
}

bool StateAllowed(const StateRule& rule, int32_t state) {
    if (state < kState3 || state > kState7 || state % 100 != 0) return false;
    return (rule.states & (1u << (state / 100 - 3))) != 0;
}

const char* ConditionText(uint16_t conditionCode) {
    switch (conditionCode) {
        case TWCC_SUCCESS: return "Success message from detailed error request ??";
        case TWCC_BUMMER: return "Bummer error.";
        case TWCC_LOWMEMORY: return "Low Memory Condition encountered, free up some memory and try again.";
        case TWCC_NODS: return "No Data Source found error.";
        case TWCC_MAXCONNECTIONS: return "Source is connected to max possible apps.";
        case TWCC_OPERATIONERROR: return "An operation error just occurred.";
        case TWCC_BADCAP: return "Bad capabilities error.";
        case TWCC_BADPROTOCOL: return "Bad protocol error.";
        case TWCC_BADVALUE: return "Bad value error.";
        case TWCC_SEQERROR: return "DG DAT MSG is out of expected sequence.";
        default: return "Unknown Error value in condition code.";
    }
}

uint16_t LanguageIdForTwlg(uint16_t twlg) {
    // Index = TWLG code 0..113; 0x0800 marks codes without a language of their own.
    static constexpr std::array<uint16_t, 114> kIds{
        0x0406, 0x0413, 0x0009, 0x0C0C, 0x040B, 0x040C, 0x0407, 0x040F, 0x0410, 0x0014,  // 0
        0x0816, 0x040A, 0x041D, 0x0409, 0x0036, 0x041C, 0x0401, 0x1401, 0x3C01, 0x0C01,  // 10
        0x0801, 0x2C01, 0x3401, 0x3001, 0x1001, 0x1801, 0x2001, 0x4001, 0x0401, 0x2801,  // 20
        0x1C01, 0x3801, 0x2401, 0x002D, 0x0023, 0x0402, 0x0403, 0x0004, 0x0C04, 0x0804,  // 30
        0x1004, 0x0804, 0x0404, 0x0404, 0x081A, 0x0405, 0x0813, 0x0C09, 0x1009, 0x1809,  // 40
        0x1409, 0x1C09, 0x0809, 0x0025, 0x0038, 0x0029, 0x080C, 0x140C, 0x100C, 0x0C07,  // 50
        0x1007, 0x1407, 0x0807, 0x0408, 0x040D, 0x040E, 0x0021, 0x0810, 0x0411, 0x0412,  // 60
        0x0412, 0x0026, 0x0427, 0x0414, 0x0814, 0x0415, 0x0416, 0x0418, 0x0419, 0x081A,  // 70
        0x041B, 0x0024, 0x080A, 0x0C0A, 0x041E, 0x041F, 0x0022, 0x004D, 0x0045, 0x0800,  // 80
        0x0800, 0x0800, 0x0047, 0x0800, 0x0039, 0x004B, 0x0860, 0x004C, 0x004E, 0x0800,  // 90
        0x0800, 0x0800, 0x0800, 0x0048, 0x0046, 0x0800, 0x0C1A, 0x0800, 0x081D, 0x0049,  // 100
        0x004A, 0x0800, 0x0420, 0x002A};                                                   // 110
    return twlg < kIds.size() ? kIds[twlg] : static_cast<uint16_t>(0x0800);
}

}  // namespace qor::twain
