// GetKelvoBitmap: reads the captured image out of Qor.dll and hands it to an older imaging
// program as a grey bitmap of its imaging toolkit, turned by 90 degrees.
#include "wrapper/core/kelvo_conversion.h"
#include "wrapper/win/linked_imports.h"

namespace {

// The words of the toolkit's record the wrapper reads itself.
constexpr int kWidthWord = 2;
constexpr int kHeightWord = 3;
constexpr int kOrientationWord = 11;

// Committed read/write memory, released when it goes out of scope.
class CommittedMemory {
public:
    explicit CommittedMemory(size_t bytes)
        : m_pMemory(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE)) {}
    ~CommittedMemory() { Release(); }
    CommittedMemory(const CommittedMemory&) = delete;
    CommittedMemory& operator=(const CommittedMemory&) = delete;
    void* Get() const { return m_pMemory; }
    void Release() {
        if (m_pMemory != nullptr) {
            VirtualFree(m_pMemory, 0, MEM_RELEASE);
            m_pMemory = nullptr;
        }
    }

private:
    void* m_pMemory;
};

// Stores the converted rows in the caller's bitmap, in the order the toolkit expects.
void FillBitmap(void* bitmap, const uint8_t* rows, int32_t width, int32_t height, int32_t bits) {
    uint8_t palette[1024];
    kelvo::FillGreyPalette(palette);
    const uint32_t rowBytes = static_cast<uint32_t>(width) * (bits == 16 ? 2u : 1u);
    TkCreateBitmap(bitmap, 1, width, height, bits == 16 ? 16 : 0, 2, palette, 0, nullptr, 0);
    TkGreyscaleBitmap(bitmap, bits);
    TkAccessBitmap(bitmap);
    for (int32_t y = 0; y < height; ++y) {
        TkPutBitmapRow(bitmap, rows + static_cast<size_t>(y) * rowBytes, y, rowBytes);
    }
    TkRotateBitmap(bitmap, 9000, 1, 0);
    TkReleaseBitmap(bitmap);
}

// Draws the bitmap at the screen's top-left corner with its own palette.
void PaintOnScreen(const void* bitmap) {
    const auto* words = static_cast<const int32_t*>(bitmap);
    const kelvo::Extent extent =
        kelvo::PaintExtent(words[kWidthWord], words[kHeightWord], words[kOrientationWord]);
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        return;
    }
    const RECT destination{0, 0, extent.width, extent.height};
    HPALETTE palette = TkCreatePaintPalette(screen, bitmap);
    HPALETTE previous = palette != nullptr ? SelectPalette(screen, palette, FALSE) : nullptr;
    if (palette != nullptr) {
        RealizePalette(screen);
    }
    TkPaintBitmap(screen, bitmap, nullptr, nullptr, &destination, nullptr, SRCCOPY);
    if (previous != nullptr) {
        SelectPalette(screen, previous, FALSE);
    }
    if (palette != nullptr) {
        DeleteObject(palette);
    }
    ReleaseDC(nullptr, screen);
}

int32_t ReadAndConvert(HANDLE device, void* bitmap, int32_t bitsPerPixel, int32_t paint,
                       int32_t processFlag) {
    // Reading takes the image out of the sensor for good, so everything a delivery needs is
    // checked and allocated first: a call that cannot fill a bitmap returns 0 and leaves the
    // image in the sensor for a call that can.
    if (bitsPerPixel != 8 && bitsPerPixel != 16) {
        return 0;
    }
    if (bitmap == nullptr) {
        return 0;
    }
    QorFinishExp(device);
    KelvoHWInfo info{};
    QorGetHWInfo(device, &info);
    // A device that was never initialised reports no usable geometry: allocating from it would
    // ask for an arbitrary amount of memory, so the call fails as a failed image read does.
    const uint32_t frameBytes = kelvo::FrameBytes(info.width, info.height);
    if (frameBytes == 0) {
        return 0;
    }
    const size_t pixels = static_cast<size_t>(info.width) * static_cast<size_t>(info.height);
    CommittedMemory frame(frameBytes);
    CommittedMemory converted(pixels * (bitsPerPixel == 16 ? 2u : 1u));
    if (frame.Get() == nullptr || converted.Get() == nullptr) {
        return 0;
    }
    auto* values = static_cast<int32_t*>(frame.Get());
    if (KelvoGetImgData(device, static_cast<int32_t>(frameBytes), values, processFlag) == 0) {
        return 0;
    }
    if (bitsPerPixel == 8) {
        kelvo::ConvertTo8Bits(values, pixels, static_cast<uint8_t*>(converted.Get()));
    } else {
        kelvo::ConvertTo16Bits(values, pixels, static_cast<uint16_t*>(converted.Get()));
    }
    frame.Release();
    FillBitmap(bitmap, static_cast<const uint8_t*>(converted.Get()), info.width, info.height,
               bitsPerPixel);
    converted.Release();
    if (paint != 0) {
        PaintOnScreen(bitmap);
    }
    return 1;
}

}  // namespace

extern "C" __declspec(dllexport) int32_t WINAPI GetKelvoBitmap(HANDLE device, void* bitmap,
                                                              int32_t /*reserved*/,
                                                              int32_t bitsPerPixel, int32_t paint,
                                                              int32_t processFlag) {
    try {
        return ReadAndConvert(device, bitmap, bitsPerPixel, paint, processFlag);
    } catch (...) {
        return 0;
    }
}
