// DS_Entry: the module's start and end, and the dispatch of every operation to the handler of
// its protocol concern after the state check.
#include "common/core/catch_all.h"
#include <exception>

#include "common/core/log_file.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/core/supported_triplets.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/capability_msgs.h"
#include "twain_source/win/identity_msgs.h"
#include "twain_source/win/image_msgs.h"
#include "twain_source/win/interface_msgs.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/safekeeping.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

HANDLE g_hMutex = nullptr;

TW_UINT16 StatusMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "StatusMsg\n");
    if (t.MSG != MSG_GET || t.pData == nullptr) {
        return ReportFailure("General failure in response to DAT_STATUS.  ", TWCC_BADPROTOCOL);
    }
    auto* status = static_cast<pTW_STATUS>(t.pData);
    status->ConditionCode = g_session.conditionCode;
    status->Reserved = 0;
    g_session.conditionCode = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

// DAT_ENTRYPOINT/MSG_SET: a 2.x manager's entry point and memory functions, given just before
// MSG_OPENDS (so in any state: a session the manager dropped may still be open here).
// Only a manager sends it, and a manager reads the condition code: no box.
TW_UINT16 EntryPointMsg(TripletRecord& t) {
    const TW_UINT16 refusal = t.MSG != MSG_SET                                                ? TWCC_BADPROTOCOL
                              : !SetManagerEntry(static_cast<const TW_ENTRYPOINT*>(t.pData)) ? TWCC_BADVALUE
                                                                                              : TWCC_SUCCESS;
    if (refusal != TWCC_SUCCESS) {
        g_session.conditionCode = refusal;
        TheLogFile().WriteFormat(LOG_WARN, "General failure in response to DAT_ENTRYPOINT.  %s\n",
                                 qor::twain::ConditionText(refusal));
        return TWRC_FAILURE;
    }
    TheLogFile().Write(LOG_INFO, "EntryPointMsg: the manager's entry point and memory functions are used.\n");
    return TWRC_SUCCESS;
}

TW_UINT16 ProcessEvent(TW_MEMREF pData);
// Only MSG_PROCESSEVENT carries an event; any other message of DAT_EVENT is unknown.
TW_UINT16 EventMsg(TripletRecord& t) {
    if (t.MSG == MSG_PROCESSEVENT) return ProcessEvent(t.pData);
    g_session.conditionCode = TWCC_BADPROTOCOL;
    return TWRC_FAILURE;
}

struct TripletTableEntry {
    TW_UINT16 dat;
    TripletHandler handler;
};

constexpr TripletTableEntry kControlTable[] = {
    {DAT_IDENTITY, IdentityMsg},         {DAT_USERINTERFACE, InterfaceMsg},
    {DAT_CAPABILITY, CapabilityMsg},     {DAT_STATUS, StatusMsg},
    {DAT_PENDINGXFERS, PendingXferMsg},  {DAT_SETUPMEMXFER, SetupMemXferMsg},
    {DAT_SETUPFILEXFER, SetupFileXferMsg}, {DAT_XFERGROUP, XferGroupMsg},
    {DAT_ENTRYPOINT, EntryPointMsg},     {DAT_EVENT, EventMsg},
    {0, nullptr},
};
constexpr TripletTableEntry kImageTable[] = {
    {DAT_IMAGEINFO, ImageInfoMsg},           {DAT_IMAGELAYOUT, ImageLayoutMsg},
    {DAT_IMAGEMEMXFER, ImageMemXferMsg},     {DAT_IMAGENATIVEXFER, ImageNativeXferMsg},
    {DAT_IMAGEFILEXFER, ImageFileXferMsg},   {DAT_PALETTE8, Palette8Msg},
    {DAT_GRAYRESPONSE, GrayResponseMsg},     {DAT_RGBRESPONSE, RgbResponseMsg},
    {DAT_CIECOLOR, CieColorMsg},             {DAT_JPEGCOMPRESSION, JpegCompressionMsg},
    {0, nullptr},
};

// CAP_SUPPORTEDDATS tells programs what these tables answer: the two must agree.
constexpr bool TablesAnswerExactlyTheSupportedTriplets() {
    size_t answered = 0;
    for (const auto* table : {kControlTable, kImageTable}) {
        const uint32_t dg = table == kControlTable ? DG_CONTROL : DG_IMAGE;
        for (const TripletTableEntry* e = table; e->handler != nullptr; ++e, ++answered) {
            if (!qor::twain::IsSupportedTriplet(dg, e->dat)) return false;
        }
    }
    return answered == qor::twain::kSupportedTriplets.size();
}
static_assert(TablesAnswerExactlyTheSupportedTriplets());

TW_UINT16 ProcessEvent(TW_MEMREF pData) {
    auto* event = static_cast<pTW_EVENT>(pData);
    if (event == nullptr) return TWRC_NOTDSEVENT;
    if (const TW_UINT16 message = TakeUndeliveredMessage(); message != MSG_NULL) {
        event->TWMessage = message;
        return TWRC_DSEVENT;
    }
    if (g_session.dialog != nullptr && event->pEvent != nullptr &&
        IsDialogMessageW(g_session.dialog, static_cast<MSG*>(event->pEvent))) {
        // The dialog's timer may just have announced an image: hand it over at once.
        event->TWMessage = TakeUndeliveredMessage();
        return TWRC_DSEVENT;
    }
    return TWRC_NOTDSEVENT;
}

TW_UINT16 Dispatch(TripletRecord& t) {
    const bool fromManager = t.DG == DG_CONTROL && t.DAT == DAT_IDENTITY && t.MSG == MSG_GET;
    // A 2.x manager reads the identity with a null origin when it lists the sources.
    if (t.pOrigin == nullptr) return fromManager ? IdentityMsg(t) : TWRC_FAILURE;
    // Triplets of another application are not ours to answer; MSG_OPENDS and the entry point
    // before it are, because the manager sends them only when no session of ours is open in its
    // eyes (the Id of a session it dropped means nothing any more).
    if (t.DG == DG_CONTROL && t.DAT == DAT_ENTRYPOINT) return EntryPointMsg(t);
    const bool opens = t.DG == DG_CONTROL && t.DAT == DAT_IDENTITY && t.MSG == MSG_OPENDS;
    if (g_session.appIdentity.Id != 0 && t.pOrigin->Id != g_session.appIdentity.Id && !opens) return TWRC_FAILURE;
    // Only DAT_EVENT carries an event; MSG_PROCESSEVENT with another DAT is an unknown message
    // of that DAT (its pData is no TW_EVENT).
    if (t.DG == DG_CONTROL && t.DAT == DAT_EVENT && t.MSG == MSG_PROCESSEVENT) return ProcessEvent(t.pData);
    if (t.DG != DG_CONTROL && t.DAT != DAT_STATUS) g_session.conditionCode = TWCC_SUCCESS;

    const TripletTableEntry* table = t.DG == DG_CONTROL ? kControlTable : t.DG == DG_IMAGE ? kImageTable : nullptr;
    const TripletTableEntry* entry = nullptr;
    for (const TripletTableEntry* e = table; e != nullptr && e->handler != nullptr; ++e) {
        if (e->dat == t.DAT) {
            entry = e;
            break;
        }
    }
    if (entry == nullptr) {
        g_session.conditionCode = TWCC_BADPROTOCOL;
        return TWRC_FAILURE;
    }
    if (const qor::twain::StateRule* rule = qor::twain::FindStateRule(t.DG, t.DAT, t.MSG, SessionProtocol());
        rule != nullptr && !qor::twain::StateAllowed(*rule, g_session.state)) {
        if (!rule->quiet) return ReportFailure(rule->context, TWCC_SEQERROR);
        g_session.conditionCode = TWCC_SEQERROR;
        return TWRC_FAILURE;
    }
    return entry->handler(t);
}

}  // namespace

extern "C" TW_UINT16 PASCAL DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                     TW_MEMREF pData) {
    try {
        TripletRecord t{pOrigin, dg, dat, msg, pData};
        return Dispatch(t);
    } catch (const std::exception&) {
        g_session.conditionCode = TWCC_LOWMEMORY;
    } catch (...) {
        g_session.conditionCode = TWCC_BUMMER;
    }
    return TWRC_FAILURE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return CatchAll<BOOL>(FALSE, [&]() -> BOOL {
        if (reason == DLL_PROCESS_ATTACH) {
            if (instance == nullptr) return FALSE;
            // One process at a time holds the source.
            g_hMutex = CreateMutexW(nullptr, TRUE, L"QOR SRC");
            if (g_hMutex == nullptr) return FALSE;
            if (GetLastError() == ERROR_ALREADY_EXISTS) {
                CloseHandle(g_hMutex);
                g_hMutex = nullptr;
                return FALSE;
            }
            g_hInstance = instance;
            SetUpIdentity();
        } else if (reason == DLL_PROCESS_DETACH) {
            // At process exit (reserved set) the windows go with the process.
            if (reserved == nullptr) EndDialogOnUnload();
            // A taken image the program did not get is already kept in the Images folder.
            ForgetTakenImage();
            if (g_hMutex != nullptr) CloseHandle(g_hMutex);
            g_hMutex = nullptr;
        }
        return TRUE;
    });
}
