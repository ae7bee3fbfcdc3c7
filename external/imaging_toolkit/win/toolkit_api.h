// The imaging toolkit's exported calls, as its two libraries offer them (ordinals in
// kernel_exports.table and display_exports.table). Results: toolkit::Result codes.
#pragma once

#include <windows.h>

#include "external/imaging_toolkit/core/toolkit_bitmap.h"

#ifdef TOOLKIT_BUILDING
#define TOOLKIT_API extern "C" __declspec(dllexport)
#else
#define TOOLKIT_API extern "C" __declspec(dllimport)
#endif

// LTKRN13N.dll
TOOLKIT_API int32_t WINAPI TkAccessBitmap(toolkit::Bitmap* bitmap);
TOOLKIT_API int32_t WINAPI TkFreeBitmap(toolkit::Bitmap* bitmap);
TOOLKIT_API int32_t WINAPI TkCreateBitmap(toolkit::Bitmap* bitmap, int32_t memoryType,
                                          int32_t width, int32_t height, int32_t bitsPerPixel,
                                          int32_t order, const uint8_t* palette,
                                          int32_t viewPerspective, const uint8_t* data,
                                          uint32_t dataSize);
TOOLKIT_API int32_t WINAPI TkGreyscaleBitmap(toolkit::Bitmap* bitmap, int32_t bitsPerPixel);
TOOLKIT_API int32_t WINAPI TkPutBitmapRow(toolkit::Bitmap* bitmap, const uint8_t* rowData,
                                          int32_t row, uint32_t bytes);
TOOLKIT_API int32_t WINAPI TkReleaseBitmap(toolkit::Bitmap* bitmap);
TOOLKIT_API int32_t WINAPI TkRotateBitmap(toolkit::Bitmap* bitmap, int32_t angle, int32_t flags,
                                          uint32_t fill);

// LTDIS13N.dll
// A palette for painting the bitmap into `dc`; the caller deletes it. Null on failure.
TOOLKIT_API HPALETTE WINAPI TkCreatePaintPalette(HDC dc, const toolkit::Bitmap* bitmap);
// Paints the bitmap (or its part `source`) into `destination`; null rectangles mean whole.
TOOLKIT_API int32_t WINAPI TkPaintBitmap(HDC dc, const toolkit::Bitmap* bitmap, const RECT* source,
                                         const RECT* sourceClip, const RECT* destination,
                                         const RECT* destinationClip, DWORD rasterOperation);
