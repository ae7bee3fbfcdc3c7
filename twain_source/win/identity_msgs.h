// DAT_IDENTITY: the source's identity, the session's open and close.
#pragma once
#include "twain_source/win/triplet.h"

void SetUpIdentity();  // once, when the module is loaded
TW_UINT16 IdentityMsg(TripletRecord& t);
