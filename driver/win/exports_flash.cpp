// Entry points that read, dump or write calibration flash contents.
#include "driver/win/qor_api.h"
#include "driver/win/driver_state.h"

QOR_API int32_t WINAPI KelvoInitMcs(HANDLE, const int32_t*, int32_t) { return 1; }

QOR_API int32_t WINAPI KelvoInitDemoMcs(int32_t, const int32_t*, int32_t) { return 1; }

QOR_API int32_t WINAPI KelvoReadFlashFile(uint8_t*, int32_t, int32_t) { return 0; }

QOR_API int32_t WINAPI readFlashAndWriteToFile(HANDLE, const char*) { return -2; }
