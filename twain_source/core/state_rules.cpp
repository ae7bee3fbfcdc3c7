#include "twain_source/core/state_rules.h"

#include <array>

#include "twain_source/core/twain_codes.h"

namespace qor::twain {

namespace {

constexpr uint8_t S(int a) { return static_cast<uint8_t>(1u << (a - 3)); }
constexpr uint8_t k3to7 = S(3) | S(4) | S(5) | S(6) | S(7), k4 = S(4), k4to6 = S(4) | S(5) | S(6), k4to7 = k4to6 | S(7),
                  k5to7 = S(5) | S(6) | S(7), k6 = S(6), k6to7 = S(6) | S(7);

constexpr uint8_t k1x = kRuleFor1x, k2x = kRuleFor2x, kAny = kRuleFor1x | kRuleFor2x;

constexpr const char* kPending = "General failure in response to DAT_PENDINGXFER.  ";
constexpr const char* kCapability = "General failure in response to DAT_CAPABILITY.  ";
constexpr const char* kLayout = "General failure in response to DAT_IMAGELAYOUT.  ";
constexpr const char* kSetupFile = "General failure in response to DAT_SETUPFILEXFER, not supported.  ";
constexpr const char* kPalette = "General failure in response to DAT_PALETTE8.  ";
constexpr const char* kGray = "General failure in response to DAT_GRAYRESPONSE.  ";
constexpr const char* kRgb = "General failure in response to DAT_RGBRESPONSE.  ";
constexpr const char* kJpeg = "General failure in response to DAT_JPEGCOMPRESSION.  ";

// First match wins: the 2.x rules that narrow an operation come before the rule of its DAT.
constexpr StateRule kRules[] = {
    // TWAIN 2.x: what is negotiated is set in state 4 only; reading goes on in states 4 to 7.
    // 1.x programs keep setting capabilities in any state; MSG_RESETALL came with 2.x and its rule.
    {DG_CONTROL, DAT_CAPABILITY, MSG_SET, k4, k2x, kCapability, true},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESET, k4, k2x, kCapability, true},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, k4, kAny, kCapability, true},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, k4, k2x, kLayout, false},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_RESET, k4, k2x, kLayout, false},
    {DG_IMAGE, DAT_IMAGELAYOUT, 0, k4to6, k2x, kLayout, false},
    {DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, k4, k2x, kSetupFile, false},
    {DG_IMAGE, DAT_PALETTE8, MSG_SET, k4, k2x, kPalette, false},
    {DG_IMAGE, DAT_PALETTE8, MSG_RESET, k4, k2x, kPalette, false},
    {DG_IMAGE, DAT_GRAYRESPONSE, 0, k4, k2x, kGray, false},
    {DG_IMAGE, DAT_RGBRESPONSE, 0, k4, k2x, kRgb, false},
    {DG_IMAGE, DAT_JPEGCOMPRESSION, MSG_SET, k4, k2x, kJpeg, false},
    {DG_IMAGE, DAT_JPEGCOMPRESSION, MSG_RESET, k4, k2x, kJpeg, false},
    {DG_IMAGE, DAT_JPEGCOMPRESSION, 0, k4to6, k2x, kJpeg, false},
    {DG_IMAGE, DAT_CIECOLOR, 0, k4to6, k2x, "General failure in response to DAT_CIECOLOR.  ", false},

    // A 2.x manager hands over its entry point before it opens the source.
    {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, S(3), kAny, "General failure in response to DAT_ENTRYPOINT.  ", false},
    // In states 4 to 7 a session the manager dropped is ended first.
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, k3to7, kAny, "General failure in response to MSG_OPENDS.  ", false},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, k4to7, kAny, "General failure in response to MSG_CLOSEDS.  ", false},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, k4, kAny, "General failure in response to MSG_ENABLEDS.  ", false},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, k4, kAny,
     "General failure in response to MSG_ENABLEDSUIONLY.  ", false},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, k5to7, kAny,
     "General failure in response to MSG_DISABLEDS.  ", false},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, k4to7, kAny, kPending, false},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, k6to7, kAny, kPending, false},
    // Ends a transfer; in state 5 it offers an image that is waiting. Before MSG_ENABLEDS it would
    // announce an image without an enabled source.
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, k5to7, kAny, kPending, false},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, k4to6, kAny,
     "General failure in response to DAT_SETUPMEMXFER, not supported.  ", false},
    {DG_CONTROL, DAT_SETUPFILEXFER, 0, k4to6, kAny, kSetupFile, false},
    {DG_CONTROL, DAT_XFERGROUP, 0, k4to6, kAny, "General failure in response to DAT_XFERGROUP, not supported.  ",
     false},
    {DG_IMAGE, DAT_PALETTE8, 0, k4to6, kAny, kPalette, false},
    // The transfers have MSG_GET only; any other message is no operation of theirs in any state.
    // Also in state 7: programs read the information of the image just transferred (TWAIN
    // allows it in both states; refusing it failed their memory transfers).
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, k6to7, kAny, "General failure in transfer.  ", false},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, k6, kAny, "General failure in response to DAT_IMAGENATIVEXFER.  ",
     false},
    // A memory transfer starts in state 6 and goes on in state 7; in earlier states there is
    // nothing to copy.
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, k6to7, kAny, "General failure in response to DAT_IMAGEMEMXFER.  ", false},
    // A file transfer is refused before an image can exist (states 3 to 5).
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, k6to7, kAny, "General failure in response to DAT_IMAGEINFO.  ", false},
};

}  // namespace

const StateRule* FindStateRule(uint32_t dg, uint16_t dat, uint16_t msg, AppProtocol protocol) {
    const uint8_t mine = protocol == AppProtocol::Twain2 ? k2x : k1x;
    for (const StateRule& rule : kRules) {
        if ((rule.protocols & mine) == 0) continue;
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
