// The manager's record of every triplet it passes, for tests that must see which message went
// where. Written only when QOR_TWAINDSM_LOG names a file; each line is appended whole, so the
// programs of one test may share the file.
//   <pid> <route> dg=0x.. dat=0x.... msg=0x.... rc=N [key=value...]
// route: app->dsm, app->ds, dsm->ds, ds->dsm (DAT_NULL), dsm->app (the program's callback),
// mem (DSM_MemAllocate / DSM_MemFree).
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"

namespace twaindsm {

struct Triplet {
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
};

void LogTriplet(const char* route, const Triplet& t, TW_UINT16 rc, const char* detailFormat = "",
                ...);
void LogLine(const char* format, ...);

} // namespace twaindsm
