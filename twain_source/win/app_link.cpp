// The link to QOR APP while the source is enabled: the state-5 wait that announces stored
// images, starting QOR APP when its pipe is missing, the Stavik queue when it cannot be started,
// the image a transfer needs (lent, never taken) and its confirmation once the imaging program
// has it, and the status line. Waiting is done by the dialog's timer, never by sleeping on the
// imaging program's thread.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/core/image_record.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/qorsrc.h"

uint8_t* g_pbyImgData = nullptr;
int g_nAllocatedBufSize = 0;
int g_nNextImageSize = 0;
int g_nPendingImages = 0;
int g_nImagesTransferred = 0;
int g_bDiskQueue = 0;
int32_t g_nAnnouncedImageId = 0;
qor::twain::CDeliveryLedger g_delivery;

namespace {

constexpr UINT_PTR kLinkTimer = 1;
constexpr UINT kPollMs = 50;           // a stored image is announced within this time
constexpr ULONGLONG kAttemptMs = 1000;  // while QOR APP starts: one attempt a second
constexpr int kAttemptsBeforeBox = 3;
constexpr int kAttempts = 5;
// A QOR APP that is still running after its third attempt may only be slow (a practice PC at
// logon, a large store to load): the box waits for it to end or for this long.
constexpr ULONGLONG kSlowStartLimitMs = 20000;

ULONGLONG g_nStartedAt = 0;  // QOR APP started by the source and its pipe not yet seen
int g_nAttemptsReported = 0;
bool g_bStartFailureShown = false;
bool g_bNothingReachable = false;  // neither QOR APP nor the disk queue: told once at the first tick
bool g_bBadReplyReported = false;
bool g_bImpostorReported = false;
bool g_bPipeFailureReported = false;
bool g_bBusyReported = false;
bool g_bInTimer = false;  // a box shown from the timer runs a message loop that ticks again

int PendingInStore() { return g_bDiskQueue ? PendingOnDisk() : CheckPendingImages(); }

}  // namespace

void ShowProgress(HWND dialog, int total, int transferred) {
    if (dialog == nullptr) return;
    wchar_t text[200] = {};
    if (total != 0) {
        wchar_t format[200];
        ReadString(133, format, 200);
        swprintf(text, 200, format, transferred, total > transferred ? total : transferred);
    } else {
        ReadString(134, text, 200);
    }
    SetDlgItemTextW(dialog, kStatusTextId, text);
}

void AnnounceImage(int pending, bool notify) {
    // The status line counts the image now offered: the first of three reads 1/3.
    g_nPendingImages = g_nImagesTransferred + pending;
    g_nAllocatedBufSize = 0;
    g_delivery.Announce(g_bDiskQueue ? 0 : g_nAnnouncedImageId);
    if (notify) NotifyXferReady();
    m_nState = qor::twain::kState6;
    ShowProgress(g_hDialog, g_nPendingImages, g_nImagesTransferred + 1);
}

void ShowMessage(const wchar_t* text) {
    // A session without a user interface has nobody to close a box: the log says it.
    if (g_bQuiet) return;
    wchar_t caption[200];
    ReadString(132, caption, 200);
    MessageBoxW(g_hParent, text, caption, MB_OK | MB_ICONWARNING);
}

int TakeAnnouncedImage() {
    switch (g_delivery.Current()) {
        case qor::twain::CurrentImage::Lent:
        case qor::twain::CurrentImage::Delivered: return g_pbyImgData != nullptr && g_nAllocatedBufSize > 0;
        case qor::twain::CurrentImage::Announced:
            // A taken image not delivered is kept in the Images folder: the buffer may be reused.
            ForgetTakenImage();
            if (!g_bDiskQueue) return LendImage();
            if (PendingOnDisk() > 0 && GetDiskImage()) {
                g_delivery.Lent(std::nullopt);
                return 1;
            }
            return 0;
        default: return 0;
    }
}

bool ImageDelivered() {
    if (g_delivery.Current() != qor::twain::CurrentImage::Lent) return false;
    const std::optional<qor::twain::LentImageKey> key = g_delivery.LentKey();
    if (!key) {
        // A taken image: its kept copy in the Images folder goes now.
        TakenImageDelivered();
        g_delivery.Delivered(true);
    } else {
        switch (ConfirmLentImage(*key)) {
            case ConfirmResult::Removed: g_delivery.Delivered(true); break;
            // QOR APP cannot be told now: the program gets the image, the confirmation is owed.
            case ConfirmResult::Unreachable: g_delivery.Delivered(false); break;
            case ConfirmResult::NotInStore: {
                // The dentist deleted the image while it was lent: it must not reach the program.
                g_delivery.Withdrawn();
                g_nAllocatedBufSize = 0;
                TheLogFile().WriteFormat(LOG_WARN, "ImageDelivered: image %d was deleted in QOR APP during the transfer; "
                                                   "it is not handed to the imaging program.\n",
                                         static_cast<int>(key->nImageId));
                wchar_t text[200];
                ReadString(kImageWithdrawnText, text, 200);
                if (g_hDialog != nullptr) SetDlgItemTextW(g_hDialog, kStatusTextId, text);
                return false;
            }
        }
    }
    ++g_nImagesTransferred;
    return true;
}

void ImageTransferFailed() {
    g_delivery.TransferFailed();
    if (g_delivery.Current() == qor::twain::CurrentImage::Announced) g_nAllocatedBufSize = 0;
}

int EndImageTransfer() {
    // An earlier QOR APP cannot pass an image over: one skipped unfetched is fetched now and kept
    // in the Images folder, so that it does not come back in this session.
    if (!g_bDiskQueue && g_delivery.Current() == qor::twain::CurrentImage::Announced &&
        AppChannelProtocol() == AppProtocol::Taking) {
        TakeAnnouncedImage();
    }
    g_delivery.EndTransfer();
    ForgetTakenImage();
    g_nAllocatedBufSize = 0;
    const int waiting = g_delivery.PendingCount(PendingInStore());
    if (g_bDiskQueue && waiting <= 0) ClearDiskQueue();
    return waiting;
}

int PendingTransfers() { return g_delivery.PendingCount(PendingInStore()); }

void ForgetLentImage() {
    g_delivery.Forget();
    g_nAllocatedBufSize = 0;
}

int PendingOnDisk() {
    StavikApi& api = Stavik();
    return api.module ? api.GetTotNumOfSelImages() : 0;
}

void ClearDiskQueue() {
    StavikApi& api = Stavik();
    if (api.module) api.ClearImageQueue();
    g_bDiskQueue = 0;
}

void ReportPipeFailure() {
    // Once a session: a pipe that failed once fails at every tick until QOR APP is back.
    if (g_bPipeFailureReported) return;
    g_bPipeFailureReported = true;
    ShowInternalError();
}

void ReportBadReply() {
    // Once a session: QOR APP would give the same answer at every tick.
    if (g_bBadReplyReported) return;
    g_bBadReplyReported = true;
    ShowInternalError();
}

BOOL OnInitDialog(HWND dialog) {
    g_hDialog = dialog;
    ForgetTakenImage();
    FreeImageBuffer();
    g_nNextImageSize = g_nImagesTransferred = g_nPendingImages = 0;
    g_nStartedAt = 0;
    g_nAttemptsReported = 0;
    g_bStartFailureShown = false;
    g_bNothingReachable = g_bBadReplyReported = g_bImpostorReported = g_bPipeFailureReported = g_bBusyReported = false;
    g_delivery.NewSession();
    wchar_t text[200];
    ReadString(128, text, 200);
    SetDlgItemTextW(dialog, IDCANCEL, text);
    m_nState = qor::twain::kState5;
    ShowProgress(dialog, 0, 0);

    switch (OpenAppChannel()) {
        case ChannelResult::Open:
            if (const int pending = CheckPendingImages(); pending > 0) AnnounceImage(pending, true);
            break;
        case ChannelResult::Impostor: ReportImpostor(); break;
        case ChannelResult::Broken: break;  // tried again at the next tick
        case ChannelResult::Busy: ReportBusyPipe(); break;
        case ChannelResult::Missing:
            TheLogFile().Write(LOG_WARN, "OnInitDialog: Named Pipe creation failed!\n");
            if (QorAppRuns()) {
                // Running but its pipe not (yet) there: starting another one would only fail.
                TheLogFile().Write(LOG_WARN, "OnInitDialog: QOR APP runs but its pipe is not open yet; waiting for it.\n");
                g_nStartedAt = GetTickCount64();
                break;
            }
            switch (StartApplication()) {
                case StartResult::Started: g_nStartedAt = GetTickCount64(); break;  // the timer waits for its pipe
                case StartResult::NoInstallation:
                case StartResult::Failed:
                    if (LoadStavik()) {
                        g_bDiskQueue = 1;
                        Stavik().InitializeImageQueue();
                        if (const int pending = PendingOnDisk(); pending > 0) AnnounceImage(pending, true);
                    } else {
                        g_bNothingReachable = true;
                    }
                    break;
            }
            break;
    }
    SetTimer(dialog, kLinkTimer, kPollMs, nullptr);
    return m_nState == qor::twain::kState6;
}

void OnLinkTimer(HWND) {
    if (g_bInTimer) return;
    struct Busy {
        Busy() { g_bInTimer = true; }
        ~Busy() { g_bInTimer = false; }
    } busy;
    if (g_bNothingReachable) {
        g_bNothingReachable = false;
        TheLogFile().Write(LOG_WARN, "OnInitDialog: QOR APP cannot be started and Stavik.dll is missing; reinstall the "
                                     "QOR driver suite.\n");
        ShowInternalError();
    }
    // Only the state-5 wait asks for images; transfers lend their own.
    if (m_nState == qor::twain::kState5) {
        int pending = 0;
        if (g_bDiskQueue) {
            pending = PendingOnDisk();
        } else {
            const ChannelResult channel = OpenAppChannel();
            if (channel == ChannelResult::Open) {
                g_nStartedAt = 0;
                ForgetStartedApp();
                pending = g_delivery.PendingCount(CheckPendingImages());
            } else if (channel == ChannelResult::Impostor) {
                ReportImpostor();
            } else if (channel == ChannelResult::Busy) {
                ReportBusyPipe();
            } else if (g_nStartedAt != 0) {
                // QOR APP was started and its pipe has not come: one attempt a second, logged;
                // the error box after the third when QOR APP has ended, else once the slow-start
                // limit has passed. Attempts go on after the box (a late pipe still counts).
                const ULONGLONG waited = GetTickCount64() - g_nStartedAt;
                const int attempts = static_cast<int>(waited / kAttemptMs);
                while (g_nAttemptsReported < attempts && g_nAttemptsReported < kAttempts) {
                    ++g_nAttemptsReported;
                    TheLogFile().Write(LOG_WARN, "OnInitDialog: Named Pipe creation failed!:  nRetryCount:\n");
                }
                if (!g_bStartFailureShown && g_nAttemptsReported >= kAttemptsBeforeBox &&
                    (StartedAppHasEnded() || waited >= kSlowStartLimitMs)) {
                    g_bStartFailureShown = true;
                    ShowInternalError();
                }
            }
        }
        if (pending > 0 && m_nState == qor::twain::kState5) AnnounceImage(pending, true);
    }
}

void ReportBusyPipe() {
    // QOR APP runs and serves another client: the next tick asks again, nothing is started.
    if (g_bBusyReported) return;
    g_bBusyReported = true;
    TheLogFile().Write(LOG_WARN, "OnInitDialog: QOR APP's pipe is busy with another program; waiting for it.\n");
}

void ReportImpostor() {
    wchar_t text[200];
    ReadString(kImpostorText, text, 200);
    if (g_hDialog != nullptr) SetDlgItemTextW(g_hDialog, kStatusTextId, text);
    if (g_bImpostorReported) return;
    g_bImpostorReported = true;
    ShowMessage(text);
}

BOOL OnClose() {
    if (g_hDialog != nullptr) KillTimer(g_hDialog, kLinkTimer);
    ForgetStartedApp();
    // The image lent for this session stays in QOR APP; an owed confirmation is kept.
    g_delivery.Forget();
    const BOOL closed = AppChannelOpen() ? (CloseAppChannel(), TRUE) : FALSE;
    if (!closed) TheLogFile().Write(LOG_WARN, "OnClose: CNamedPipe::Close() Failed!\n");
    ForgetTakenImage();  // a taken image not delivered stays in the Images folder
    if (g_pbyImgData != nullptr) {
        FreeImageBuffer();
        TheLogFile().Write(LOG_WARN, "OnClose: free g_pbyImgData \n");
    }
    if (g_bDiskQueue) ClearDiskQueue();
    UnloadStavik();
    g_nNextImageSize = g_nAllocatedBufSize = g_nImagesTransferred = g_nPendingImages = 0;
    return closed;
}

int GetDiskImage() {
    StavikApi& api = Stavik();
    if (api.module == nullptr) return 0;
    ForgetTakenImage();
    ImageDataStruct* record = api.RemoveOldestSelImg();
    if (record == nullptr || record->nImageSize <= 0 || record->nImageSize > qor::pipe::kMaxImageBytes ||
        record->pImageData == nullptr) {
        TheLogFile().Write(LOG_WARN, "GetDiskImage: Invalid Image Size!\n");
        if (record) api.FreeImg(record);
        return 0;
    }
    FreeImageBuffer();
    g_pbyImgData = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(record->nImageSize)));
    if (g_pbyImgData == nullptr) {
        TheLogFile().Write(LOG_FATAL, "GetDiskImage: g_pbyImgData = NULL \n");
        api.FreeImg(record);
        return 0;
    }
    std::memcpy(g_pbyImgData, record->pImageData, static_cast<size_t>(record->nImageSize));
    g_nAllocatedBufSize = record->nImageSize;
    // The library has let the image go: it is written back at once, under its own name where free.
    SafekeepTakenImage(g_pbyImgData, static_cast<size_t>(record->nImageSize), &record->stTime);
    TheLogFile().WriteFormat(LOG_INFO, "GetDiskImage: g_pbyImgData!=NULL: ImageTransferred Count %d\n",
                             g_nImagesTransferred + 1);
    api.FreeImg(record);
    return 1;
}
