// DAT_CAPABILITY: the core's table answers; this shell moves containers in and out of the
// program's memory.
#pragma once
#include "twain_source/win/triplet.h"

TW_UINT16 CapabilityMsg(TripletRecord& t);
