#include "twain_source/win/image_msgs.h"

#include <cstring>

#include "common/core/log_file.h"
#include "twain_source/core/dib_image.h"
#include "twain_source/win/app_link.h"
#include "twain_source/win/source_reports.h"
#include "twain_source/win/transfer_msgs.h"

namespace {

TW_ELEMENT8 g_grayResponse[256];
TW_ELEMENT8 g_rgbResponse[256];

}  // namespace

TW_UINT16 ImageInfoMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "ImageInfoMsg\n");
    auto* info = static_cast<pTW_IMAGEINFO>(t.pData);
    if (t.MSG != MSG_GET || info == nullptr) return ReportFailure("General failure in transfer.  ", TWCC_BADPROTOCOL);
    info->XResolution = ToTwFix32(g_session.capabilities.CurrentXResolution());
    info->YResolution = info->XResolution;
    TakeAnnouncedImage();
    int32_t width, height;
    qor::twain::BmpFileSize(g_session.imageData, g_session.imageData ? static_cast<size_t>(g_session.imageSize) : 0, &width, &height);
    info->ImageWidth = width;
    info->ImageLength = height;
    info->PixelType = static_cast<TW_INT16>(g_session.capabilities.CurrentPixelType());
    info->BitsPerPixel = static_cast<TW_INT16>(g_session.capabilities.CurrentBitDepth());
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
