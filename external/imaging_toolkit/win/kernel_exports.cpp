// LTKRN13N.dll: the imaging toolkit's kernel, a thin shell over the portable bitmap operations.
// Nothing may escape as an exception into an older caller.
#include "common/core/catch_all.h"
#include "external/imaging_toolkit/win/toolkit_api.h"

TOOLKIT_API int32_t WINAPI TkAccessBitmap(toolkit::Bitmap* bitmap) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::AccessBitmap(bitmap);
    });
}

TOOLKIT_API int32_t WINAPI TkFreeBitmap(toolkit::Bitmap* bitmap) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        toolkit::FreeBitmap(bitmap);
        return toolkit::kSuccess;
    });
}

TOOLKIT_API int32_t WINAPI TkCreateBitmap(toolkit::Bitmap* bitmap, int32_t memoryType,
                                          int32_t width, int32_t height, int32_t bitsPerPixel,
                                          int32_t order, const uint8_t* palette,
                                          int32_t viewPerspective, const uint8_t* data,
                                          uint32_t dataSize) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::CreateBitmap(bitmap, memoryType, width, height, bitsPerPixel, order, palette,
                                     viewPerspective, data, dataSize);
    });
}

TOOLKIT_API int32_t WINAPI TkGreyscaleBitmap(toolkit::Bitmap* bitmap, int32_t bitsPerPixel) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::SetGreyDepth(bitmap, bitsPerPixel);
    });
}

TOOLKIT_API int32_t WINAPI TkPutBitmapRow(toolkit::Bitmap* bitmap, const uint8_t* rowData,
                                          int32_t row, uint32_t bytes) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::PutRow(bitmap, rowData, row, bytes);
    });
}

TOOLKIT_API int32_t WINAPI TkReleaseBitmap(toolkit::Bitmap* bitmap) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::ReleaseBitmap(bitmap);
    });
}

TOOLKIT_API int32_t WINAPI TkRotateBitmap(toolkit::Bitmap* bitmap, int32_t angle, int32_t flags,
                                          uint32_t fill) {
    return CatchAll<int32_t>(toolkit::kNoMemory, [&]() -> int32_t {
        return toolkit::RotateBitmap(bitmap, angle, flags, fill);
    });
}
