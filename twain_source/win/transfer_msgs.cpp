// Capabilities and transfers: native (a movable DIB), file (a BMP at the target), memory (rows
// into the application's buffers, top row first), and the other DG_IMAGE answers.
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/core/log_file.h"
#include "twain_source/core/dib_image.h"
#include "twain_source/core/fix32.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/qorsrc.h"

namespace {

using qor::twain::kState5;
using qor::twain::kState6;
using qor::twain::kState7;

std::optional<qor::twain::DibImage> g_transferDib;
qor::twain::CDibRowCursor g_rowCursor;
char g_szTargetFile[256] = {};
TW_ELEMENT8 g_grayResponse[256];
TW_ELEMENT8 g_rgbResponse[256];

constexpr const char kDefaultTarget[] = "c:\\twain.bmp";

TW_FIX32 ToTwFix32(float value) {
    const qor::twain::Fix32 f = qor::twain::ToFix32(value);
    TW_FIX32 out;
    out.Whole = f.Whole;
    out.Frac = f.Frac;
    return out;
}

std::optional<qor::twain::DibImage> DibOfCurrentImage() {
    TakeAnnouncedImage();
    if (g_pbyImgData == nullptr || g_nAllocatedBufSize <= 0) return std::nullopt;
    return qor::twain::LoadDib(g_pbyImgData, static_cast<size_t>(g_nAllocatedBufSize));
}

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

HGLOBAL DibToGlobal(const qor::twain::DibImage& dib) {
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, dib.bytes.size());
    if (handle == nullptr) return nullptr;
    void* p = GlobalLock(handle);
    if (p == nullptr) {
        GlobalFree(handle);
        return nullptr;
    }
    std::memcpy(p, dib.bytes.data(), dib.bytes.size());
    GlobalUnlock(handle);
    return handle;
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

void ReleaseTransferDib() {
    g_rowCursor.Reset();
    g_transferDib.reset();
}

TW_UINT16 CapabilityMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "CapabilityMsg\n");
    auto* cap = static_cast<pTW_CAPABILITY>(t.pData);
    if (cap == nullptr) {
        m_nConditionCode = TWCC_BADVALUE;
        return TWRC_FAILURE;
    }
    // Only a connected application has a protocol to map for.
    const bool oldProtocol = m_nState >= qor::twain::kState4 && m_appIdentity.ProtocolMajor <= 1 &&
                             m_appIdentity.ProtocolMinor <= 5;
    const uint8_t* container = nullptr;
    size_t containerSize = 0;
    if (t.MSG == MSG_SET && cap->hContainer != nullptr) {
        container = static_cast<const uint8_t*>(GlobalLock(cap->hContainer));
        containerSize = container ? GlobalSize(cap->hContainer) : 0;
    }
    qor::twain::CapabilityAnswer answer =
        g_capabilities.Handle(cap->Cap, t.MSG, cap->ConType, container, containerSize, oldProtocol);
    if (container != nullptr) GlobalUnlock(cap->hContainer);
    if (t.MSG == MSG_SET && cap->hContainer != nullptr && container == nullptr) answer.returnCode = TWRC_FAILURE;
    if (!answer.container.empty()) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, answer.container.size());
        void* p = block ? GlobalLock(block) : nullptr;
        if (p == nullptr) {
            if (block) GlobalFree(block);
            m_nConditionCode = TWCC_LOWMEMORY;
            return TWRC_FAILURE;
        }
        std::memcpy(p, answer.container.data(), answer.container.size());
        GlobalUnlock(block);
        cap->ConType = answer.conType;
        cap->hContainer = block;
    }
    m_nConditionCode = answer.conditionCode;
    return answer.returnCode;
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
            if (m_nState == kState6 || m_nState == kState7) pending->Count = static_cast<TW_UINT16>(PendingTransfers());
            return TWRC_SUCCESS;
        case MSG_RESET:
            // The image offered stays in QOR APP's store.
            ReleaseTransferDib();
            ForgetLentImage();
            m_nState = kState5;
            pending->Count = 0;
            ShowProgress(g_hDialog, 0, 0);
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
            if (m_nState == kState7 || m_nState == kState6) {
                // Nothing left to transfer: back to state 5, where the dialog's timer waits for
                // the next exposure and announces it.
                m_nState = kState5;
                ShowProgress(g_hDialog, 0, 0);
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

TW_UINT16 ImageInfoMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageInfoMsg\n");
    auto* info = static_cast<pTW_IMAGEINFO>(t.pData);
    if (t.MSG != MSG_GET || info == nullptr) return ReportFailure("General failure in transfer.  ", TWCC_BADPROTOCOL);
    info->XResolution = ToTwFix32(g_capabilities.CurrentXResolution());
    info->YResolution = info->XResolution;
    TakeAnnouncedImage();
    int32_t width, height;
    qor::twain::BmpFileSize(g_pbyImgData, g_pbyImgData ? static_cast<size_t>(g_nAllocatedBufSize) : 0, &width, &height);
    info->ImageWidth = width;
    info->ImageLength = height;
    info->PixelType = static_cast<TW_INT16>(g_capabilities.CurrentPixelType());
    info->BitsPerPixel = static_cast<TW_INT16>(g_capabilities.CurrentBitDepth());
    std::memset(info->BitsPerSample, 0, sizeof info->BitsPerSample);
    if (info->BitsPerPixel < 24) {
        info->SamplesPerPixel = 1;
        info->BitsPerSample[0] = info->BitsPerPixel;
    } else {
        info->SamplesPerPixel = 3;
        for (int i = 0; i < 3; ++i) info->BitsPerSample[i] = 8;
    }
    info->Planar = FALSE;
    info->Compression = TWCP_NONE;
    return TWRC_SUCCESS;
}

TW_UINT16 ImageLayoutMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageLayoutMsg\n");
    auto* layout = static_cast<pTW_IMAGELAYOUT>(t.pData);
    switch (t.MSG) {
        case MSG_GET:
        case MSG_GETCURRENT:
        case MSG_GETDEFAULT: {
            if (layout == nullptr) break;
            TW_FIX32 edge;
            edge.Whole = 22;
            edge.Frac = 33;
            layout->Frame.Left = layout->Frame.Top = layout->Frame.Right = layout->Frame.Bottom = edge;
            layout->DocumentNumber = 4;
            layout->PageNumber = 88;
            layout->FrameNumber = 1;
            return TWRC_SUCCESS;
        }
        case MSG_SET:
        case MSG_RESET: return TWRC_SUCCESS;
        default: break;
    }
    return ReportFailure("General failure in response to DAT_IMAGEINFO.  ", TWCC_BADPROTOCOL);
}

TW_UINT16 ImageNativeXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageNativeXferMsg\n");
    constexpr const char* kContext = "General failure in response to DAT_IMAGENATIVEXFER.  ";
    if (t.MSG != MSG_GET || t.pData == nullptr) return ReportFailure(kContext, TWCC_BADPROTOCOL);
    // Never "done" without an image.
    if (!PrepareTransferDib()) return TransferFailure(kContext, TWCC_OPERATIONERROR);
    HGLOBAL handle = DibToGlobal(*g_transferDib);
    if (handle == nullptr) return TransferFailure(kContext, TWCC_LOWMEMORY);
    ReleaseTransferDib();
    if (!ImageDelivered()) {
        GlobalFree(handle);
        return ReportFailure(kContext, TWCC_OPERATIONERROR);
    }
    *static_cast<TW_HANDLE*>(t.pData) = handle;
    m_nState = kState7;
    return TWRC_XFERDONE;
}

TW_UINT16 ImageFileXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageFileXferMsg\n");
    m_nConditionCode = TWCC_OPERATIONERROR;
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
    m_nConditionCode = TWCC_SUCCESS;
    m_nState = kState7;
    return TWRC_XFERDONE;
}

TW_UINT16 ImageMemXferMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageMemXferMsg\n");
    constexpr const char* kContext = "General failure in response to DAT_IMAGEMEMXFER.  ";
    auto* xfer = static_cast<pTW_IMAGEMEMXFER>(t.pData);
    if (t.MSG != MSG_GET || xfer == nullptr) return ReportFailure(kContext, TWCC_BADPROTOCOL);
    if (m_nState == kState6 || !g_rowCursor.Active()) {
        if (!PrepareTransferDib()) return TransferFailure(kContext, TWCC_OPERATIONERROR);
        g_rowCursor.Start(&*g_transferDib);
    }
    // The buffer is a handle or a pointer, as the application's flags say.
    const bool isHandle = (xfer->Memory.Flags & TWMF_HANDLE) != 0;
    uint8_t* buffer = isHandle ? static_cast<uint8_t*>(GlobalLock(static_cast<HGLOBAL>(xfer->Memory.TheMem)))
                               : static_cast<uint8_t*>(xfer->Memory.TheMem);
    if (isHandle && buffer != nullptr) {
        const SIZE_T size = GlobalSize(static_cast<HGLOBAL>(xfer->Memory.TheMem));
        if (size < xfer->Memory.Length) xfer->Memory.Length = static_cast<TW_UINT32>(size);
    }
    const qor::twain::RowCopyResult r = g_rowCursor.Copy(buffer, xfer->Memory.Length);
    if (isHandle && buffer != nullptr) GlobalUnlock(static_cast<HGLOBAL>(xfer->Memory.TheMem));
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
    m_nState = kState7;
    if (r.status != qor::twain::RowCopy::Done) return TWRC_SUCCESS;
    // The last strip: never "done" for an image deleted in QOR APP meanwhile.
    if (!ImageDelivered()) {
        ReleaseTransferDib();
        return ReportFailure(kContext, TWCC_OPERATIONERROR);
    }
    return TWRC_XFERDONE;
}

TW_UINT16 Palette8Msg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "Palette8Msg\n");
    auto* palette = static_cast<pTW_PALETTE8>(t.pData);
    switch (t.MSG) {
        case MSG_GET: {
            if (palette == nullptr) break;
            // The colours of the image in hand, without touching a transfer.
            const auto dib = DibOfCurrentImage();
            palette->NumColors = dib ? static_cast<TW_UINT16>(dib->colorCount) : 0;
            palette->PaletteType = TWPA_RGB;
            for (TW_UINT16 i = 0; i < palette->NumColors; ++i) {
                const uint8_t* rgbq = dib->bytes.data() + 40 + 4 * i;
                palette->Colors[i].Index = static_cast<TW_UINT8>(i);
                palette->Colors[i].Channel1 = rgbq[2];
                palette->Colors[i].Channel2 = rgbq[1];
                palette->Colors[i].Channel3 = rgbq[0];
            }
            return TWRC_SUCCESS;
        }
        case MSG_GETDEFAULT:
        case MSG_SET:
        case MSG_RESET: return TWRC_SUCCESS;
        default: break;
    }
    return ReportFailure("General failure in response to DAT_PALETTE8.  ", TWCC_BADPROTOCOL);
}

namespace {

TW_UINT16 Response(TripletRecord& t, TW_ELEMENT8* table) {
    if (t.MSG == MSG_SET && t.pData != nullptr) {
        std::memcpy(table, t.pData, 256 * sizeof(TW_ELEMENT8));
    } else if (t.MSG == MSG_RESET) {
        for (int i = 0; i < 256; ++i) {
            const auto v = static_cast<TW_UINT8>(i);
            table[i] = TW_ELEMENT8{v, v, v, v};
        }
    }
    return TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 GrayResponseMsg(TripletRecord& t) { return Response(t, g_grayResponse); }
TW_UINT16 RgbResponseMsg(TripletRecord& t) { return Response(t, g_rgbResponse); }

TW_UINT16 CieColorMsg(TripletRecord& t) {
    if (auto* cie = static_cast<pTW_CIECOLOR>(t.pData)) {
        std::memset(cie, 0, sizeof *cie);
        cie->ColorSpace = TWPT_RGB;
        cie->LowEndian = 0;
        cie->DeviceDependent = 1;
        cie->VersionNumber = 0;
        // Placeholders: a grey sensor has no colour calibration; white point D65.
        cie->WhitePoint.X = ToTwFix32(0.9505f);
        cie->WhitePoint.Y = ToTwFix32(1.0f);
        cie->WhitePoint.Z = ToTwFix32(1.089f);
        cie->WhitePaper = cie->WhitePoint;
    }
    return TWRC_SUCCESS;
}

TW_UINT16 JpegCompressionMsg(TripletRecord&) { return TWRC_SUCCESS; }
