// The DG_IMAGE answers about the image rather than its transfer: information, layout, palette,
// responses, colour.
#pragma once
#include "twain_source/win/triplet.h"

TW_UINT16 ImageInfoMsg(TripletRecord& t);
TW_UINT16 ImageLayoutMsg(TripletRecord& t);
TW_UINT16 Palette8Msg(TripletRecord& t);
TW_UINT16 GrayResponseMsg(TripletRecord& t);
TW_UINT16 RgbResponseMsg(TripletRecord& t);
TW_UINT16 CieColorMsg(TripletRecord& t);
TW_UINT16 JpegCompressionMsg(TripletRecord& t);
