// The transfers: native (a movable DIB), file (a BMP at the target), memory (rows into the
// application's buffers, top row first), and the DG_CONTROL operations around them.
#pragma once
#include <optional>

#include "twain_source/core/dib_image.h"
#include "twain_source/win/triplet.h"

TW_UINT16 PendingXferMsg(TripletRecord& t);
TW_UINT16 SetupMemXferMsg(TripletRecord& t);
TW_UINT16 SetupFileXferMsg(TripletRecord& t);
TW_UINT16 XferGroupMsg(TripletRecord& t);
TW_UINT16 ImageMemXferMsg(TripletRecord& t);
TW_UINT16 ImageNativeXferMsg(TripletRecord& t);
TW_UINT16 ImageFileXferMsg(TripletRecord& t);
void ReleaseTransferDib();
// The image in hand as a DIB (fetched from QOR APP when only announced); none when it cannot be.
std::optional<qor::twain::DibImage> DibOfCurrentImage();
TW_FIX32 ToTwFix32(float value);
