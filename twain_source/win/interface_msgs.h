// DAT_USERINTERFACE: the source's dialog.
#pragma once
#include "twain_source/win/triplet.h"

TW_UINT16 InterfaceMsg(TripletRecord& t);
// FreeLibrary of the source while it is enabled (DllMain, under the loader lock).
void EndDialogOnUnload();
