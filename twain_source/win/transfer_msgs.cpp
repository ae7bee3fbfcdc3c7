#include <cstdio>
#include <cstring>
#include <optional>

#include "common/core/log_file.h"
#include "twain_source/core/dib_image.h"
#include "twain_source/core/fix32.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/manager_link.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

using qor::twain::kState5;
using qor::twain::kState6;
using qor::twain::kState7;

std::optional<qor::twain::DibImage> g_transferDib;
qor::twain::CDibRowCursor g_rowCursor;
char g_szTargetFile[256] = {};

constexpr const char kDefaultTarget[] = "c:\\twain.bmp";

// The DIB is built from the image in memory: no copy of a patient image lands in a folder.
bool PrepareTransferDib() {
    ReleaseTransferDib();
    g_transferDib = DibOfCurrentImage();
    if (!g_transferDib) {
        TheLogFile().Write(LOG_WARN, "PrepareTransferDib: no image could be fetched from QOR APP, or it is not a bitmap "
                                     "the source can hand over; it stays in QOR APP.\n");
        return false;
    }
    return true;
}

// A transfer that failed leaves the image in QOR APP; a new transfer lends it again.
TW_UINT16 TransferFailure(const char* context, TW_UINT16 code) {
    ReleaseTransferDib();
    ImageTransferFailed();
    return ReportFailure(context, code);
}

// True only when the whole file is written and closed; a partial file is removed.
bool WriteDibFile(const qor::twain::DibImage& dib, const char* path) {
    const std::vector<uint8_t> file = qor::twain::DibToBmpFile(dib);
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
    const BOOL closed = CloseHandle(h);
    if (ok && closed && written == file.size()) return true;
    DeleteFileA(path);
    return false;
}

}  // namespace

TW_FIX32 ToTwFix32(float value) {
    const qor::twain::Fix32 f = qor::twain::ToFix32(value);
    TW_FIX32 out;
    out.Whole = f.Whole;
    out.Frac = f.Frac;
    return out;
}

std::optional<qor::twain::DibImage> DibOfCurrentImage() {
    TakeAnnouncedImage();
    if (g_session.imageData == nullptr || g_session.imageSize <= 0) return std::nullopt;
    return qor::twain::LoadDib(g_session.imageData, static_cast<size_t>(g_session.imageSize));
}

void ReleaseTransferDib() {
    g_rowCursor.Reset();
    g_transferDib.reset();
}

TW_UINT16 PendingXferMsg(TripletRecord& t) {
    TheLogFile().WriteFormat(LOG_INFO, "PendingXferMsg %x\n", static_cast<unsigned>(t.MSG));
    constexpr const char* kContext = "General failure in response to DAT_PENDINGXFER.  ";
    auto* pending = static_cast<pTW_PENDINGXFERS>(t.pData);
    if (pending == nullptr) return ReportFailure(kContext, TWCC_BADVALUE);
    switch (t.MSG) {
        case MSG_GET:
            // The images QOR APP holds that this session may still deliver, with the one in hand.
            pending->Count = 0;
            if (g_session.state == kState6 || g_session.state == kState7) pending->Count = static_cast<TW_UINT16>(PendingTransfers());
            return TWRC_SUCCESS;
        case MSG_RESET:
            // The image offered stays in QOR APP's store.
            ReleaseTransferDib();
            ForgetLentImage();
            g_session.state = kState5;
            pending->Count = 0;
            ShowProgress(0, 0);
            return TWRC_SUCCESS;
        case MSG_ENDXFER: {
            ReleaseTransferDib();
            // An image not delivered (a failed or skipped transfer) stays in QOR APP's store and
            // is passed over for the rest of the session.
            const int waiting = EndImageTransfer();
            if (waiting > 0) {
                AnnounceImage(waiting, false);
                pending->Count = static_cast<TW_UINT16>(waiting);
                return TWRC_SUCCESS;
            }
            pending->Count = 0;
            if (g_session.state == kState7 || g_session.state == kState6) {
                // Nothing left to transfer: back to state 5, where the dialog's timer waits for
                // the next exposure and announces it.
                g_session.state = kState5;
                ShowProgress(0, 0);
                return TWRC_SUCCESS;
            }
            return ReportFailure(kContext, TWCC_SEQERROR);
        }
        default: return ReportFailure(kContext, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 SetupMemXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "SetupMemXferMsg\n");
    auto* setup = static_cast<pTW_SETUPMEMXFER>(t.pData);
    if (t.MSG != MSG_GET || setup == nullptr) {
        return ReportFailure("General failure in response to DAT_SETUPMEMXFER, not supported.  ", TWCC_BADPROTOCOL);
    }
    setup->MinBufSize = 16384;
    setup->MaxBufSize = 65535;
    setup->Preferred = 65535;
    return TWRC_SUCCESS;
}

TW_UINT16 SetupFileXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "SetupFileXferMsg\n");
    constexpr const char* kContext = "General failure in response to DAT_SETUPFILEXFER, not supported.  ";
    auto* setup = static_cast<pTW_SETUPFILEXFER>(t.pData);
    if (setup == nullptr) return ReportFailure(kContext, TWCC_BADVALUE);
    switch (t.MSG) {
        case MSG_GET:
        case MSG_GETCURRENT:
        case MSG_GETDEFAULT: {
            // The target that was set; the default before that, and always for MSG_GETDEFAULT.
            const char* name = (t.MSG != MSG_GETDEFAULT && g_szTargetFile[0]) ? g_szTargetFile : kDefaultTarget;
            std::memset(setup->FileName, 0, sizeof setup->FileName);
            std::memcpy(setup->FileName, name, strnlen(name, sizeof setup->FileName - 1));
            setup->Format = TWFF_BMP;
            setup->VRefNum = 0;
            return TWRC_SUCCESS;
        }
        case MSG_SET: {
            char name[256] = {};
            std::memcpy(name, setup->FileName, sizeof name - 1);
            // A refused target also forgets the one set before: a program that goes on with the
            // transfer anyway must not have its earlier file overwritten; its transfer fails and
            // the image stays in QOR APP.
            g_szTargetFile[0] = 0;
            HANDLE h = name[0] == 0 ? INVALID_HANDLE_VALUE
                                    : CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                return ReportFailure("Unable to create file <<DAT_SETUPFILEXFER>>", TWCC_BADVALUE);
            }
            const bool createdByCheck = GetLastError() != ERROR_ALREADY_EXISTS;
            CloseHandle(h);
            // The check leaves no empty file behind: the transfer creates the target itself.
            if (createdByCheck) DeleteFileA(name);
            std::memcpy(g_szTargetFile, name, sizeof name);
            return TWRC_SUCCESS;
        }
        default: return ReportFailure(kContext, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 XferGroupMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "XferGroupMsg\n");
    if (t.pData == nullptr) return ReportFailure("General failure in response to DAT_XFERGROUP, not supported.  ", TWCC_BADVALUE);
    switch (t.MSG) {
        case MSG_GET:
        case MSG_GETCURRENT:
        case MSG_GETDEFAULT:
        case MSG_RESET: {
            const TW_UINT16 group = DG_IMAGE;
            std::memcpy(t.pData, &group, sizeof group);
            return TWRC_SUCCESS;
        }
        case MSG_SET: return TWRC_SUCCESS;
        default:
            return ReportFailure("General failure in response to DAT_XFERGROUP, not supported.  ", TWCC_BADPROTOCOL);
    }
}

TW_UINT16 ImageNativeXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageNativeXferMsg\n");
    constexpr const char* kContext = "General failure in response to DAT_IMAGENATIVEXFER.  ";
    if (t.MSG != MSG_GET || t.pData == nullptr) return ReportFailure(kContext, TWCC_BADPROTOCOL);
    // Never "done" without an image.
    if (!PrepareTransferDib()) return TransferFailure(kContext, TWCC_OPERATIONERROR);
    TW_HANDLE handle = CopyForProgram(g_transferDib->bytes.data(), g_transferDib->bytes.size());
    if (handle == nullptr) return TransferFailure(kContext, TWCC_LOWMEMORY);
    ReleaseTransferDib();
    if (!ImageDelivered()) {
        FreeForProgram(handle);
        return ReportFailure(kContext, TWCC_OPERATIONERROR);
    }
    *static_cast<TW_HANDLE*>(t.pData) = handle;
    g_session.state = kState7;
    return TWRC_XFERDONE;
}

TW_UINT16 ImageFileXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageFileXferMsg\n");
    g_session.conditionCode = TWCC_OPERATIONERROR;
    if (t.MSG != MSG_GET) return ReportFailure("General failure in response to DAT_IMAGEINFO.  ", TWCC_BADPROTOCOL);
    if (g_szTargetFile[0] == 0) return TWRC_FAILURE;
    if (!PrepareTransferDib()) {
        ImageTransferFailed();
        return TWRC_FAILURE;
    }
    // Written completely and closed, or the image stays in QOR APP.
    const bool written = WriteDibFile(*g_transferDib, g_szTargetFile);
    ReleaseTransferDib();
    if (!written) {
        TheLogFile().WriteFormat(LOG_WARN, "ImageFileXferMsg: the image could not be written to \"%s\"; it stays in QOR APP.\n",
                                 g_szTargetFile);
        ImageTransferFailed();
        return TWRC_FAILURE;
    }
    if (!ImageDelivered()) {
        // Deleted in QOR APP meanwhile: the target must not hold it.
        DeleteFileA(g_szTargetFile);
        return TWRC_FAILURE;
    }
    g_session.conditionCode = TWCC_SUCCESS;
    g_session.state = kState7;
    return TWRC_XFERDONE;
}

TW_UINT16 ImageMemXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageMemXferMsg\n");
    constexpr const char* kContext = "General failure in response to DAT_IMAGEMEMXFER.  ";
    auto* xfer = static_cast<pTW_IMAGEMEMXFER>(t.pData);
    if (t.MSG != MSG_GET || xfer == nullptr) return ReportFailure(kContext, TWCC_BADPROTOCOL);
    if (g_session.state == kState6 || !g_rowCursor.Active()) {
        if (!PrepareTransferDib()) return TransferFailure(kContext, TWCC_OPERATIONERROR);
        g_rowCursor.Start(&*g_transferDib);
    }
    // The buffer is a handle or a pointer, as the application's flags say.
    const bool isHandle = (xfer->Memory.Flags & TWMF_HANDLE) != 0;
    uint8_t* buffer = isHandle ? static_cast<uint8_t*>(LockForProgram(static_cast<TW_HANDLE>(xfer->Memory.TheMem)))
                               : static_cast<uint8_t*>(xfer->Memory.TheMem);
    if (isHandle && buffer != nullptr) {
        const SIZE_T size = GlobalSize(static_cast<HGLOBAL>(xfer->Memory.TheMem));
        if (size < xfer->Memory.Length) xfer->Memory.Length = static_cast<TW_UINT32>(size);
    }
    const qor::twain::RowCopyResult r = g_rowCursor.Copy(buffer, xfer->Memory.Length);
    if (isHandle && buffer != nullptr) UnlockForProgram(static_cast<TW_HANDLE>(xfer->Memory.TheMem));
    if (r.status == qor::twain::RowCopy::BufferTooSmall) {
        // Nothing would ever be copied: a client that looped on success would never end.
        return ReportFailure(kContext, TWCC_BADVALUE);
    }
    if (r.status == qor::twain::RowCopy::NoDib) return TransferFailure(kContext, TWCC_OPERATIONERROR);
    xfer->Compression = TWCP_NONE;
    xfer->BytesPerRow = g_transferDib->stride;
    xfer->Columns = static_cast<TW_UINT32>(g_transferDib->width);
    xfer->XOffset = 0;
    xfer->YOffset = r.yOffset;
    xfer->BytesWritten = r.bytesWritten;
    xfer->Rows = r.rows;
    g_session.state = kState7;
    if (r.status != qor::twain::RowCopy::Done) return TWRC_SUCCESS;
    // The last strip: never "done" for an image deleted in QOR APP meanwhile.
    if (!ImageDelivered()) {
        ReleaseTransferDib();
        return ReportFailure(kContext, TWCC_OPERATIONERROR);
    }
    return TWRC_XFERDONE;
}

