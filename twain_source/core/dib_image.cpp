#include "twain_source/core/dib_image.h"

#include <algorithm>
#include <cstring>

namespace qor::twain {

namespace {

constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kCoreHeaderBytes = 12;
constexpr uint32_t kFileHeaderBytes = 14;

template <typename T>
T Get(const uint8_t* at) {
    T v;
    std::memcpy(&v, at, sizeof(T));
    return v;
}
template <typename T>
void Put(uint8_t* at, T v) {
    std::memcpy(at, &v, sizeof(T));
}

}  // namespace

uint32_t DibStride(uint16_t bitCount, int32_t width) {
    return static_cast<uint32_t>(((static_cast<uint64_t>(bitCount) * static_cast<uint32_t>(width) + 31) / 32) * 4);
}

std::optional<DibImage> LoadDib(const uint8_t* data, size_t size) {
    if (data == nullptr) return std::nullopt;
    size_t pos = 0;
    uint32_t bitsFileOffset = 0;
    if (size >= kFileHeaderBytes && data[0] == 'B' && data[1] == 'M') {
        bitsFileOffset = Get<uint32_t>(data + 10);
        pos = kFileHeaderBytes;
    }
    if (size < pos + 4) return std::nullopt;
    const uint32_t headerSize = Get<uint32_t>(data + pos);
    uint8_t header[kInfoHeaderBytes] = {};
    if (headerSize == kInfoHeaderBytes) {
        if (size < pos + kInfoHeaderBytes) return std::nullopt;
        std::memcpy(header, data + pos, kInfoHeaderBytes);
        pos += kInfoHeaderBytes;
    } else if (headerSize == kCoreHeaderBytes) {
        if (size < pos + kCoreHeaderBytes) return std::nullopt;
        Put<uint32_t>(header, kInfoHeaderBytes);
        Put<int32_t>(header + 4, Get<uint16_t>(data + pos + 4));
        Put<int32_t>(header + 8, Get<uint16_t>(data + pos + 6));
        Put<uint16_t>(header + 12, Get<uint16_t>(data + pos + 8));
        Put<uint16_t>(header + 14, Get<uint16_t>(data + pos + 10));
        pos += kCoreHeaderBytes;
    } else {
        return std::nullopt;
    }

    DibImage dib;
    dib.width = Get<int32_t>(header + 4);
    dib.height = Get<int32_t>(header + 8);
    dib.bitCount = Get<uint16_t>(header + 14);
    const uint32_t compression = Get<uint32_t>(header + 16);
    // Only uncompressed bottom-up bitmaps: the row copy walks rows of one stride.
    if (dib.width <= 0 || dib.height <= 0 || compression != 0) return std::nullopt;
    if (dib.bitCount != 1 && dib.bitCount != 4 && dib.bitCount != 8 && dib.bitCount != 16 &&
        dib.bitCount != 24 && dib.bitCount != 32) {
        return std::nullopt;
    }
    const uint64_t stride = DibStride(dib.bitCount, dib.width);
    const uint64_t rowsBytes = stride * static_cast<uint64_t>(dib.height);
    if (stride == 0 || rowsBytes > kMaxDibBytes) return std::nullopt;
    dib.stride = static_cast<uint32_t>(stride);

    uint32_t clrUsed = Get<uint32_t>(header + 32);
    const uint32_t defaultColors = dib.bitCount == 1 ? 2 : dib.bitCount == 4 ? 16 : dib.bitCount == 8 ? 256 : 0;
    if (clrUsed == 0) clrUsed = defaultColors;
    if (clrUsed > 256) return std::nullopt;
    dib.colorCount = clrUsed;
    // The header stays as stored (0 means "all colours" and "stride x height"), so a bitmap
    // written back is the stored file byte for byte; a widened core header states its colours.
    if (headerSize == kCoreHeaderBytes) Put<uint32_t>(header + 32, clrUsed);
    // The rows always take stride x height: a smaller stated size would let the copy overrun.
    uint32_t sizeImage = Get<uint32_t>(header + 20);
    if (sizeImage != 0 && sizeImage < rowsBytes) Put<uint32_t>(header + 20, static_cast<uint32_t>(rowsBytes));
    if (sizeImage < rowsBytes) sizeImage = static_cast<uint32_t>(rowsBytes);
    if (sizeImage > kMaxDibBytes) return std::nullopt;

    dib.bitsOffset = kInfoHeaderBytes + 4 * clrUsed;
    dib.bytes.assign(dib.bitsOffset + static_cast<size_t>(sizeImage), 0);
    std::memcpy(dib.bytes.data(), header, kInfoHeaderBytes);
    const uint32_t entryBytes = headerSize == kCoreHeaderBytes ? 3 : 4;
    if (size < pos + static_cast<uint64_t>(entryBytes) * clrUsed) return std::nullopt;
    for (uint32_t i = 0; i < clrUsed; ++i) {
        std::memcpy(dib.bytes.data() + kInfoHeaderBytes + 4 * i, data + pos + entryBytes * i, 3);
    }
    pos += static_cast<size_t>(entryBytes) * clrUsed;
    if (bitsFileOffset != 0) pos = bitsFileOffset;
    // A file that ends early has lost rows: no bitmap rather than a partly blank one.
    if (pos > size || size - pos < rowsBytes) return std::nullopt;
    const size_t available = std::min<size_t>(size - pos, sizeImage);
    std::memcpy(dib.bytes.data() + dib.bitsOffset, data + pos, available);
    return dib;
}

std::vector<uint8_t> DibToBmpFile(const DibImage& dib) {
    const uint32_t offBits = 54 + 4 * dib.colorCount;
    const uint32_t fileSize = offBits + dib.stride * static_cast<uint32_t>(dib.height);
    std::vector<uint8_t> out(fileSize, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put<uint32_t>(out.data() + 2, fileSize);
    Put<uint32_t>(out.data() + 10, offBits);
    std::memcpy(out.data() + kFileHeaderBytes, dib.bytes.data(),
                std::min<size_t>(fileSize - kFileHeaderBytes, dib.bytes.size()));
    return out;
}

void BmpFileSize(const uint8_t* data, size_t size, int32_t* width, int32_t* height) {
    *width = -1;
    *height = -1;
    if (data == nullptr || size < 26) return;
    *width = Get<int32_t>(data + 18);
    *height = Get<int32_t>(data + 22);
}

void CDibRowCursor::Start(const DibImage* dib) {
    m_pDib = dib;
    m_nNextRow = dib ? dib->height - 1 : -1;
    m_nRowsDelivered = 0;
}

RowCopyResult CDibRowCursor::Copy(uint8_t* buffer, uint32_t length) {
    RowCopyResult result;
    if (m_pDib == nullptr || m_nNextRow < 0) return result;
    result.yOffset = m_nRowsDelivered;
    // A buffer that cannot take one row would make no progress: refuse it.
    if (buffer == nullptr || length < m_pDib->stride) {
        result.status = RowCopy::BufferTooSmall;
        return result;
    }
    uint32_t rows = length / m_pDib->stride;
    rows = std::min<uint32_t>(rows, static_cast<uint32_t>(m_nNextRow + 1));
    for (uint32_t i = 0; i < rows; ++i) {
        std::memcpy(buffer + static_cast<size_t>(i) * m_pDib->stride,
                    m_pDib->bytes.data() + m_pDib->bitsOffset + static_cast<size_t>(m_nNextRow) * m_pDib->stride,
                    m_pDib->stride);
        --m_nNextRow;
    }
    m_nRowsDelivered += rows;
    result.rows = rows;
    result.bytesWritten = rows * m_pDib->stride;
    result.status = m_nNextRow < 0 ? RowCopy::Done : RowCopy::Copied;
    return result;
}

}  // namespace qor::twain
