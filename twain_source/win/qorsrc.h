// QORSRC's shared state and routines: the entry point and states (ds_entry.cpp), the transfers
// (transfer_msgs.cpp) and the link to QOR APP (app_link.cpp). Everything runs on the imaging
// program's thread.
#pragma once
#include <windows.h>
// twain.h after windows.h (it relies on its types)
#include "twain.h"

#include <cstdint>
#include <string>

#include "common/language.h"
#include "twain_source/core/capability_table.h"
#include "twain_source/core/delivery_ledger.h"

inline constexpr int kDialogId = 101;
inline constexpr int kStatusTextId = 1002;
inline constexpr UINT kProtocolMinor = 9;  // the header's own constants say 1.8

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
extern qor::twain::CDeliveryLedger g_delivery;
BOOL OnInitDialog(HWND dialog);
BOOL OnClose();
void OnLinkTimer(HWND dialog);
void ShowProgress(HWND dialog, int total, int transferred);
void ShowMessage(const wchar_t* text);  // ShowUI TRUE only
void AnnounceImage(int pending, bool notify);
// The announced image into g_pbyImgData (lent from QOR APP, or taken from the disk queue).
int TakeAnnouncedImage();
// The imaging program has the image: QOR APP is told (or the confirmation is kept for later).
void ImageDelivered();
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
void ReportImpostor();

// app_channel.cpp: the pipe to QOR APP, every reply within one deadline
enum class ChannelResult { Open, Missing, Impostor, Broken };
// Sends an owed confirmation first. busyWaitMs: how long a transfer waits for a busy pipe.
ChannelResult OpenAppChannel(DWORD busyWaitMs = 0);
void CloseAppChannel();
bool AppChannelOpen();
int CheckPendingImages();
int LendImage();
void SendConfirmation();
void FreeImageBuffer();

// store_return.cpp: an image the queue library gave up, written back into the store's folder
bool ReturnImageToStore(const uint8_t* data, size_t size);
void ReturnUndeliveredDiskImage();  // app_link.cpp: the undelivered queue image, if any

// app_start.cpp: QOR APP's installation folder, its start, and who serves its pipe
enum class StartResult { Started, Failed, NoInstallation };
bool ReadInstalPath(wchar_t* folder, DWORD capacity);  // without a trailing backslash
std::wstring QorAppPath();
StartResult StartApplication();
bool StartedAppHasEnded();  // the QOR APP this source started has exited
void ForgetStartedApp();
bool ServedByQorApp(HANDLE pipe);

// stavik_queue.cpp: the maker's queue library
struct ImageDataStruct;
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
