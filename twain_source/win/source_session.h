// The source's state, in one place: the module (loaded once per process) and the session an
// application opened (MSG_OPENDS to MSG_CLOSEDS). Everything runs on the imaging program's
// thread, so no lock guards it.
#pragma once
#include <windows.h>
// twain.h after windows.h (it relies on its types)
#include "twain.h"

#include <cstdint>

#include "common/language.h"
#include "twain_source/core/app_protocol.h"
#include "twain_source/core/capability_table.h"
#include "twain_source/core/delivery_ledger.h"
#include "twain_source/core/state_rules.h"

inline constexpr int kDialogId = 101;
inline constexpr int kStatusTextId = 1002;
// The source's own texts. Numbered apart from QOR APP's (the language libraries serve both, and a
// number of QOR APP's would show its text in the source's place).
inline constexpr UINT kImpostorText = 400;
inline constexpr UINT kImageWithdrawnText = 401;
inline constexpr UINT kNoSettingsText = 402;
inline constexpr UINT kCloseText = 403;

struct SourceSession {
    int32_t state = qor::twain::kState3;
    TW_UINT16 conditionCode = TWCC_SUCCESS;
    TW_IDENTITY appIdentity{};
    TW_IDENTITY dsIdentity{};
    HWND dialog = nullptr;
    HWND parent = nullptr;
    bool quiet = false;  // ShowUI FALSE: nobody may be there to close a box
    qor::twain::CCapabilityTable capabilities;

    // The image in hand: lent by QOR APP, taken from an earlier QOR APP or from the disk queue.
    uint8_t* imageData = nullptr;
    int imageSize = 0;  // 0 until a whole image is in
    int nextImageSize = 0;
    int pendingImages = 0;  // for the status line
    int imagesTransferred = 0;
    bool diskQueue = false;
    int32_t announcedImageId = 0;  // the oldest image QOR APP holds for this session (0: not said)
    qor::twain::CDeliveryLedger delivery;
};

extern SourceSession g_session;

// The protocol the session's program declared; before a session, that of a 1.x program (only a
// connected application has a protocol to map for).
qor::twain::AppProtocol SessionProtocol();
extern HINSTANCE g_hInstance;  // from DllMain: the manager may load us under another file name
extern CLanguage g_language;   // read once per process

// A text of the user's language, else the built-in English one.
void ReadString(UINT id, wchar_t* buffer, int size);
