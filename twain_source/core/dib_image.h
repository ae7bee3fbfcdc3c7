// The transfer bitmap: a packed DIB (BITMAPINFOHEADER, RGBQUAD colour table, bottom-up rows)
// made from a BMP file image, the BMP file written back from it, and the row copy of memory
// transfers (top image row first).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qor::twain {

// A bitmap larger than this is refused (far above any sensor image).
inline constexpr uint32_t kMaxDibBytes = 64u * 1024u * 1024u;

struct DibImage {
    std::vector<uint8_t> bytes;  // header, colour table, rows: what the shell puts in a global block
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 0;
    uint32_t colorCount = 0;
    uint32_t stride = 0;
    uint32_t bitsOffset = 0;  // start of the rows within bytes
};

uint32_t DibStride(uint16_t bitCount, int32_t width);

// The file image may lack its 14-byte file header and may carry an OS/2 core header. Anything
// that is not a complete bottom-up bitmap within the size limit gives nothing.
std::optional<DibImage> LoadDib(const uint8_t* data, size_t size);

// The BMP file of a DIB: file header, then the header, colour table and rows.
std::vector<uint8_t> DibToBmpFile(const DibImage& dib);

// Width and height at byte offsets 18 and 22 of a BMP file image; -1 each when it is too short.
void BmpFileSize(const uint8_t* data, size_t size, int32_t* width, int32_t* height);

enum class RowCopy { Copied, Done, NoDib, BufferTooSmall };

struct RowCopyResult {
    RowCopy status = RowCopy::NoDib;
    uint32_t bytesWritten = 0;
    uint32_t rows = 0;
    uint32_t yOffset = 0;  // rows delivered before this buffer
};

// Memory transfer: whole rows, top image row first, until the bottom row has been copied.
class CDibRowCursor {
public:
    void Start(const DibImage* dib);
    void Reset() { Start(nullptr); }
    bool Active() const { return m_pDib != nullptr; }
    RowCopyResult Copy(uint8_t* buffer, uint32_t length);

private:
    const DibImage* m_pDib = nullptr;
    int32_t m_nNextRow = -1;  // index from the start of the bits; the top row is height - 1
    uint32_t m_nRowsDelivered = 0;
};

}  // namespace qor::twain
