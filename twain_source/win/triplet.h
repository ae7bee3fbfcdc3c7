// One operation as DS_Entry received it, and the handlers' shape.
#pragma once
#include "twain_source/win/source_session.h"

struct TripletRecord {
    pTW_IDENTITY pOrigin;
    TW_UINT32 DG;
    TW_UINT16 DAT;
    TW_UINT16 MSG;
    TW_MEMREF pData;
};
using TripletHandler = TW_UINT16 (*)(TripletRecord&);
