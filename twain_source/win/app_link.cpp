// The link to QOR APP while the source is enabled: the state-5 wait that announces stored
// images, starting QOR APP when its pipe is missing, the Stavik queue when it cannot be started,
// the image a transfer needs (lent, never taken) and its confirmation once the imaging program
// has it, and the status line. Waiting is done by the dialog's timer, never by sleeping on the
// imaging program's thread.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/core/catch_all.h"
#include "common/core/image_record.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/app_channel.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/safekeeping.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/stavik_queue.h"


namespace {

constexpr UINT_PTR kLinkTimer = 1;
// QOR APP signals each stored image at once; the timer's question to its pipe is the fallback for
// a QOR APP without that signal (an earlier one), and the safety net beside it.
constexpr UINT kPollMs = 50;
constexpr UINT kSafetyNetPollMs = 250;
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
bool g_bInTimer = false;  // a box shown from the timer runs a message loop that ticks again

HANDLE g_hNewImageEvent = nullptr;
HANDLE g_hNewImageWait = nullptr;

void CALLBACK OnNewImageSignalled(PVOID dialog, BOOLEAN) {
    CatchAll([&] { PostMessageW(static_cast<HWND>(dialog), kNewImageMessage, 0, 0); });
}

// True when QOR APP had made its event already: it will signal every image.
bool WatchNewImages(HWND dialog) {
    g_hNewImageEvent = CreateEventW(nullptr, FALSE, FALSE, reinterpret_cast<const wchar_t*>(qor::pipe::kNewImageEventName));
    if (g_hNewImageEvent == nullptr) return false;
    const bool made = GetLastError() == ERROR_ALREADY_EXISTS;
    if (!RegisterWaitForSingleObject(&g_hNewImageWait, g_hNewImageEvent, OnNewImageSignalled, dialog, INFINITE,
                                     WT_EXECUTEINWAITTHREAD)) {
        g_hNewImageWait = nullptr;
        return false;
    }
    return made;
}

// blocking: no signal is posted to a dialog that is gone.
void StopWatchingNewImages(bool blocking) {
    if (g_hNewImageWait != nullptr) UnregisterWaitEx(g_hNewImageWait, blocking ? INVALID_HANDLE_VALUE : nullptr);
    g_hNewImageWait = nullptr;
    if (g_hNewImageEvent != nullptr) CloseHandle(g_hNewImageEvent);
    g_hNewImageEvent = nullptr;
}

// A 2.x program's CAP_XFERCOUNT: the images it wants in this session (-1: all there are). A 1.x
// program's count was never consulted, and it keeps getting every image.
int WithinXferCount(int waiting) {
    if (SessionProtocol() != qor::twain::AppProtocol::Twain2) return waiting;
    const int wanted = g_session.capabilities.CurrentXferCount();
    if (wanted <= 0) return waiting;
    const int left = wanted - g_session.imagesTransferred;
    return waiting < left ? waiting : (left > 0 ? left : 0);
}

int PendingInStore() { return g_session.diskQueue ? PendingOnDisk() : CheckPendingImages(); }

}  // namespace

void AnnounceImage(int pending, bool notify) {
    // The status line counts the image now offered: the first of three reads 1/3.
    g_session.pendingImages = g_session.imagesTransferred + pending;
    g_session.imageSize = 0;
    g_session.delivery.Announce(g_session.diskQueue ? 0 : g_session.announcedImageId);
    if (notify) NotifyXferReady();
    g_session.state = qor::twain::kState6;
    ShowProgress(g_session.pendingImages, g_session.imagesTransferred + 1);
}

int TakeAnnouncedImage() {
    switch (g_session.delivery.Current()) {
        case qor::twain::CurrentImage::Lent:
        case qor::twain::CurrentImage::Delivered: return g_session.imageData != nullptr && g_session.imageSize > 0;
        case qor::twain::CurrentImage::Announced:
            // A taken image not delivered is kept in the Images folder: the buffer may be reused.
            ForgetTakenImage();
            if (!g_session.diskQueue) return LendImage();
            if (PendingOnDisk() > 0 && GetDiskImage()) {
                g_session.delivery.Lent(std::nullopt);
                return 1;
            }
            return 0;
        default: return 0;
    }
}

bool ImageDelivered() {
    if (g_session.delivery.Current() != qor::twain::CurrentImage::Lent) return false;
    const std::optional<qor::twain::LentImageKey> key = g_session.delivery.LentKey();
    if (!key) {
        // A taken image: its kept copy in the Images folder goes now.
        TakenImageDelivered();
        g_session.delivery.Delivered(true);
    } else {
        switch (ConfirmLentImage(*key)) {
            case ConfirmResult::Removed: g_session.delivery.Delivered(true); break;
            // QOR APP cannot be told now: the program gets the image, the confirmation is owed.
            case ConfirmResult::Unreachable: g_session.delivery.Delivered(false); break;
            case ConfirmResult::NotInStore: {
                // The dentist deleted the image while it was lent: it must not reach the program.
                g_session.delivery.Withdrawn();
                g_session.imageSize = 0;
                TheLogFile().WriteFormat(LOG_WARN, "ImageDelivered: image %d was deleted in QOR APP during the transfer; "
                                                   "it is not handed to the imaging program.\n",
                                         static_cast<int>(key->nImageId));
                ShowStatusText(kImageWithdrawnText);
                return false;
            }
        }
    }
    ++g_session.imagesTransferred;
    return true;
}

void ImageTransferFailed() {
    g_session.delivery.TransferFailed();
    if (g_session.delivery.Current() == qor::twain::CurrentImage::Announced) g_session.imageSize = 0;
}

int EndImageTransfer() {
    // An earlier QOR APP cannot pass an image over: one skipped unfetched is fetched now and kept
    // in the Images folder, so that it does not come back in this session.
    if (!g_session.diskQueue && g_session.delivery.Current() == qor::twain::CurrentImage::Announced &&
        AppChannelProtocol() == AppProtocol::Taking) {
        TakeAnnouncedImage();
    }
    g_session.delivery.EndTransfer();
    ForgetTakenImage();
    g_session.imageSize = 0;
    const int waiting = g_session.delivery.PendingCount(PendingInStore());
    if (g_session.diskQueue && waiting <= 0) ClearDiskQueue();
    return WithinXferCount(waiting);
}

int PendingTransfers() { return WithinXferCount(g_session.delivery.PendingCount(PendingInStore())); }

void ForgetLentImage() {
    g_session.delivery.Forget();
    g_session.imageSize = 0;
}

int PendingOnDisk() {
    StavikApi& api = Stavik();
    return api.module ? api.GetTotNumOfSelImages() : 0;
}

void ClearDiskQueue() {
    StavikApi& api = Stavik();
    if (api.module) api.ClearImageQueue();
    g_session.diskQueue = false;
}

bool StartLink(HWND dialog) {
    g_session.dialog = dialog;
    ForgetTakenImage();
    FreeImageBuffer();
    g_session.nextImageSize = g_session.imagesTransferred = g_session.pendingImages = 0;
    g_nStartedAt = 0;
    g_nAttemptsReported = 0;
    g_bStartFailureShown = false;
    g_bNothingReachable = false;
    ForgetSessionReports();
    g_session.delivery.NewSession();
    wchar_t text[200];
    ReadString(128, text, 200);
    SetDlgItemTextW(dialog, IDCANCEL, text);
    g_session.state = qor::twain::kState5;
    ShowProgress(0, 0);

    switch (OpenAppChannel()) {
        case ChannelResult::Open:
            if (const int pending = WithinXferCount(CheckPendingImages()); pending > 0) AnnounceImage(pending, true);
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
                        g_session.diskQueue = true;
                        Stavik().InitializeImageQueue();
                        if (const int pending = WithinXferCount(PendingOnDisk()); pending > 0) AnnounceImage(pending, true);
                    } else {
                        g_bNothingReachable = true;
                    }
                    break;
            }
            break;
    }
    SetTimer(dialog, kLinkTimer, WatchNewImages(dialog) ? kSafetyNetPollMs : kPollMs, nullptr);
    return g_session.state == qor::twain::kState6;
}

void OnLinkTick() {
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
    if (g_session.state == qor::twain::kState5) {
        int pending = 0;
        if (g_session.diskQueue) {
            pending = PendingOnDisk();
        } else {
            const ChannelResult channel = OpenAppChannel();
            if (channel == ChannelResult::Open) {
                g_nStartedAt = 0;
                ForgetStartedApp();
                pending = g_session.delivery.PendingCount(CheckPendingImages());
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
        pending = WithinXferCount(pending);
        if (pending > 0 && g_session.state == qor::twain::kState5) AnnounceImage(pending, true);
    }
}

bool StopLink() {
    if (g_session.dialog != nullptr) KillTimer(g_session.dialog, kLinkTimer);
    StopWatchingNewImages(true);
    ForgetStartedApp();
    // The image lent for this session stays in QOR APP; an owed confirmation is kept.
    g_session.delivery.Forget();
    const bool closed = AppChannelOpen() ? (CloseAppChannel(), true) : false;
    if (!closed) TheLogFile().Write(LOG_WARN, "OnClose: CNamedPipe::Close() Failed!\n");
    ForgetTakenImage();  // a taken image not delivered stays in the Images folder
    if (g_session.imageData != nullptr) {
        FreeImageBuffer();
        TheLogFile().Write(LOG_WARN, "OnClose: free g_session.imageData \n");
    }
    if (g_session.diskQueue) ClearDiskQueue();
    UnloadStavik();
    g_session.nextImageSize = g_session.imageSize = g_session.imagesTransferred = g_session.pendingImages = 0;
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
    g_session.imageData = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(record->nImageSize)));
    if (g_session.imageData == nullptr) {
        TheLogFile().Write(LOG_FATAL, "GetDiskImage: g_session.imageData = NULL \n");
        api.FreeImg(record);
        return 0;
    }
    std::memcpy(g_session.imageData, record->pImageData, static_cast<size_t>(record->nImageSize));
    g_session.imageSize = record->nImageSize;
    // The library has let the image go: it is written back at once, under its own name where free.
    SafekeepTakenImage(g_session.imageData, static_cast<size_t>(record->nImageSize), &record->stTime);
    TheLogFile().WriteFormat(LOG_INFO, "GetDiskImage: g_session.imageData!=NULL: ImageTransferred Count %d\n",
                             g_session.imagesTransferred + 1);
    api.FreeImg(record);
    return 1;
}

void AbandonLinkOnUnload() { StopWatchingNewImages(false); }
