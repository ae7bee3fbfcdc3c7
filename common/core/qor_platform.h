// Small portability shims shared by the portable core and the Windows shells.
#pragma once

// Exported entry points use the Windows __stdcall convention; the native build has none.
#if defined(_WIN32)
#define QOR_STDCALL __stdcall
#else
#define QOR_STDCALL
#endif
