// What the wrapper links, by ordinal only: three calls of Qor.dll (1, 25, 12) and the imaging
// toolkit's kernel (LTKRN13N.dll) and display (LTDIS13N.dll) calls. The toolkit's bitmap is
// the caller's record, seen here only as memory the toolkit fills.
#pragma once

#include <windows.h>

#include <cstdint>

extern "C" {

struct KelvoHWInfo {
    int32_t width;
    int32_t height;
    int32_t sensorType;
    int32_t imagerId;
};

__declspec(dllimport) int32_t WINAPI QorFinishExp(HANDLE device);
__declspec(dllimport) int32_t WINAPI QorGetHWInfo(HANDLE device, KelvoHWInfo* info);
__declspec(dllimport) int32_t WINAPI KelvoGetImgData(HANDLE device, int32_t bufferBytes,
                                                     int32_t* buffer, int32_t processFlag);

__declspec(dllimport) int32_t WINAPI TkAccessBitmap(void* bitmap);
__declspec(dllimport) int32_t WINAPI TkCreateBitmap(void* bitmap, int32_t memoryType,
                                                    int32_t width, int32_t height,
                                                    int32_t bitsPerPixel, int32_t order,
                                                    const uint8_t* palette,
                                                    int32_t viewPerspective, const uint8_t* data,
                                                    uint32_t dataSize);
__declspec(dllimport) int32_t WINAPI TkGreyscaleBitmap(void* bitmap, int32_t bitsPerPixel);
__declspec(dllimport) int32_t WINAPI TkPutBitmapRow(void* bitmap, const uint8_t* rowData,
                                                    int32_t row, uint32_t bytes);
__declspec(dllimport) int32_t WINAPI TkReleaseBitmap(void* bitmap);
__declspec(dllimport) int32_t WINAPI TkRotateBitmap(void* bitmap, int32_t angle, int32_t flags,
                                                    uint32_t fill);
__declspec(dllimport) HPALETTE WINAPI TkCreatePaintPalette(HDC dc, const void* bitmap);
__declspec(dllimport) int32_t WINAPI TkPaintBitmap(HDC dc, const void* bitmap, const RECT* source,
                                                   const RECT* sourceClip,
                                                   const RECT* destination,
                                                   const RECT* destinationClip,
                                                   DWORD rasterOperation);
}
