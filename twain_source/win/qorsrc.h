// QORSRC's shared state and routines: the entry point and states (ds_entry.cpp), the transfers
// (transfer_msgs.cpp) and the link to QOR APP (app_link.cpp). Everything runs on the imaging
// program's thread.
#pragma once
#include <windows.h>
// twain.h after windows.h (it relies on its types)
#include "twain.h"

#include <cstdint>
#include <string>

#include "common/core/image_record.h"
#include "common/language.h"
#include "twain_source/core/capability_table.h"
#include "twain_source/core/delivery_ledger.h"

inline constexpr int kDialogId = 101;
inline constexpr int kStatusTextId = 1002;
inline constexpr UINT kProtocolMinor = 9;  // the header's own constants say 1.8
// The source's own texts. Numbered apart from QOR APP's (the language libraries serve both, and a
// number of QOR APP's would show its text in the source's place).
inline constexpr UINT kImpostorText = 400;
inline constexpr UINT kImageWithdrawnText = 401;

struct TripletRecord {
    pTW_IDENTITY pOrigin;
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    TW_MEMREF pData;
};
using TripletHandler = TW_UINT16 (*)(TripletRecord&);

extern int32_t m_nState;
extern TW_UINT16 m_nConditionCode;
extern TW_IDENTITY m_appIdentity;
extern TW_IDENTITY m_dsIdentity;
extern HINSTANCE g_hInstance;
extern HWND g_hDialog;
extern HWND g_hParent;
extern bool g_bQuiet;  // ShowUI FALSE: nobody may be there to close a box
extern CLanguage g_language;
extern qor::twain::CCapabilityTable g_capabilities;

// ds_entry.cpp
TW_UINT16 ReportFailure(const char* context, TW_UINT16 code);
void ShowInternalError();
void NotifyXferReady();
void NotifyCloseDSReq();
void ReadString(UINT id, wchar_t* buffer, int size);

// capability and transfer handlers
TW_UINT16 CapabilityMsg(TripletRecord& t);
TW_UINT16 PendingXferMsg(TripletRecord& t);
TW_UINT16 SetupMemXferMsg(TripletRecord& t);
TW_UINT16 SetupFileXferMsg(TripletRecord& t);
TW_UINT16 XferGroupMsg(TripletRecord& t);
TW_UINT16 ImageInfoMsg(TripletRecord& t);
TW_UINT16 ImageLayoutMsg(TripletRecord& t);
TW_UINT16 ImageMemXferMsg(TripletRecord& t);
TW_UINT16 ImageNativeXferMsg(TripletRecord& t);
TW_UINT16 ImageFileXferMsg(TripletRecord& t);
TW_UINT16 Palette8Msg(TripletRecord& t);
TW_UINT16 GrayResponseMsg(TripletRecord& t);
TW_UINT16 RgbResponseMsg(TripletRecord& t);
TW_UINT16 CieColorMsg(TripletRecord& t);
TW_UINT16 JpegCompressionMsg(TripletRecord& t);
void ReleaseTransferDib();

// app_link.cpp: the session's link to QOR APP and the image handed over
extern uint8_t* g_pbyImgData;
extern int g_nAllocatedBufSize;
extern int g_nNextImageSize;
extern int g_nPendingImages;
extern int g_nImagesTransferred;
extern int g_bDiskQueue;
extern int32_t g_nAnnouncedImageId;  // the oldest image QOR APP holds for this session (0: not said)
extern qor::twain::CDeliveryLedger g_delivery;
BOOL OnInitDialog(HWND dialog);
BOOL OnClose();
void OnLinkTimer(HWND dialog);
void ShowProgress(HWND dialog, int total, int transferred);
void ShowMessage(const wchar_t* text);  // ShowUI TRUE only
void AnnounceImage(int pending, bool notify);
// The announced image into g_pbyImgData (lent from QOR APP, or taken from the disk queue).
int TakeAnnouncedImage();
// The imaging program is about to have the image: QOR APP is told first (or the confirmation is
// owed). False when QOR APP no longer holds it (the dentist deleted it): it must not reach the
// program, and the transfer fails.
bool ImageDelivered();
void ImageTransferFailed();
// MSG_ENDXFER: the images still to come in this session.
int EndImageTransfer();
int PendingTransfers();
void ForgetLentImage();  // MSG_RESET: the image stays in QOR APP
int GetDiskImage();
int PendingOnDisk();
void ClearDiskQueue();

// suite_folder.cpp: the suite's folder ("InstalPath", else the source's own folder; with a
// trailing separator) and a library loaded from there by full path (null and a log line when it
// cannot be loaded). Nothing of the suite is looked up by bare name.
std::wstring SuiteFolder();
HMODULE LoadSuiteLibrary(const std::wstring& folder, const wchar_t* fileName);
void ReportBadReply();
void ReportPipeFailure();  // a pipe read or write failed: the error box, once a session
void ReportImpostor();
void ReportBusyPipe();

// app_channel.cpp: the pipe to QOR APP, every reply within one deadline
// Busy: QOR APP runs and its pipe serves another client.
enum class ChannelResult { Open, Missing, Busy, Impostor, Broken };
// Lending: QOR APP lends images and is told when the program has one. Taking: a QOR APP of the
// earlier protocol, whose images leave its store when fetched.
enum class AppProtocol { Lending, Taking };
// Learns QOR APP's protocol and sends an owed confirmation first. busyWaitMs: how long a transfer
// waits for a busy pipe.
ChannelResult OpenAppChannel(DWORD busyWaitMs = 0);
void CloseAppChannel();
bool AppChannelOpen();
AppProtocol AppChannelProtocol();
// The images QOR APP holds for this session (its passed-over ones left out); sets
// g_nNextImageSize and g_nAnnouncedImageId.
int CheckPendingImages();
// The oldest image QOR APP holds for this session into g_pbyImgData: lent, or taken from a QOR
// APP of the earlier protocol (then kept in the Images folder until delivered).
int LendImage();
enum class ConfirmResult { Removed, NotInStore, Unreachable };
// Tells QOR APP that the program has the lent image.
ConfirmResult ConfirmLentImage(const qor::twain::LentImageKey& key);
ConfirmResult ConfirmImage(const qor::twain::LentImageKey& key);  // on the open pipe
void FreeImageBuffer();

// safekeeping.cpp: a copy taken out of the store (disk queue, earlier QOR APP) is written back
// into the Images folder at once (under its time of arrival where that name is free) and removed
// only when the program has it.
bool SafekeepTakenImage(const uint8_t* data, size_t size, const ImageTime* arrival);
void TakenImageDelivered();
void ForgetTakenImage();  // the kept file stays: QOR APP adopts it at its next start

// app_start.cpp: QOR APP's installation folder, its start, and who serves its pipe
enum class StartResult { Started, Failed, NoInstallation };
bool ReadInstalPath(wchar_t* folder, DWORD capacity);  // without a trailing backslash
std::wstring QorAppPath();
StartResult StartApplication();
bool StartedAppHasEnded();  // the QOR APP this source started has exited
bool QorAppRuns();          // some QOR APP holds its single-instance mutex
void ForgetStartedApp();
bool ServedByQorApp(HANDLE pipe);

// stavik_queue.cpp: the maker's queue library
struct StavikApi {
    HMODULE module = nullptr;
    int(__stdcall* InitializeImageQueue)() = nullptr;
    int(__stdcall* GetTotNumOfSelImages)() = nullptr;
    ImageDataStruct*(__stdcall* RemoveOldestSelImg)() = nullptr;
    int(__stdcall* FreeImg)(ImageDataStruct*) = nullptr;
    int(__stdcall* ClearImageQueue)() = nullptr;
};
StavikApi& Stavik();
bool LoadStavik();
void UnloadStavik();
