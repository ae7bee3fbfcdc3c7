// EncodeIco: directory, then per image a BITMAPINFOHEADER (height doubled for the mask), the
// bottom-up BGRA rows and the bottom-up mask rows padded to 32 bits. All fields little-endian.
#include "external/qor_icons/gen/ico_file.h"

namespace {

constexpr uint32_t kDirectorySize = 6;
constexpr uint32_t kEntrySize = 16;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint8_t kMaskAlphaBelow = 128;  // pixels drawn as transparent by mask-only renderers

void Put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

uint32_t MaskRowBytes(int size) { return ((static_cast<uint32_t>(size) + 31) / 32) * 4; }

uint32_t ImageBytes(int size) {
    const uint32_t n = static_cast<uint32_t>(size);
    return kInfoHeaderSize + n * n * 4 + MaskRowBytes(size) * n;
}

}  // namespace

std::vector<uint8_t> EncodeIco(const std::vector<Canvas>& images) {
    std::vector<uint8_t> out;
    Put16(out, 0);  // reserved
    Put16(out, 1);  // icon
    Put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = kDirectorySize + kEntrySize * static_cast<uint32_t>(images.size());
    for (const Canvas& image : images) {
        const int size = image.Size();
        out.push_back(static_cast<uint8_t>(size >= 256 ? 0 : size));  // width
        out.push_back(static_cast<uint8_t>(size >= 256 ? 0 : size));  // height
        out.push_back(0);                                             // palette colours
        out.push_back(0);                                             // reserved
        Put16(out, 1);                                                // planes
        Put16(out, 32);                                               // bits per pixel
        Put32(out, ImageBytes(size));
        Put32(out, offset);
        offset += ImageBytes(size);
    }
    for (const Canvas& image : images) {
        const int size = image.Size();
        const uint32_t n = static_cast<uint32_t>(size);
        Put32(out, kInfoHeaderSize);
        Put32(out, n);
        Put32(out, n * 2);  // colour rows and mask rows
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, 0);  // BI_RGB
        Put32(out, ImageBytes(size) - kInfoHeaderSize);
        for (int i = 0; i < 4; ++i) {
            Put32(out, 0);  // resolution and palette fields
        }
        for (int y = size - 1; y >= 0; --y) {
            for (int x = 0; x < size; ++x) {
                const Rgba p = image.At(x, y);
                out.insert(out.end(), {p.b, p.g, p.r, p.a});
            }
        }
        for (int y = size - 1; y >= 0; --y) {
            std::vector<uint8_t> row(MaskRowBytes(size), 0);
            for (int x = 0; x < size; ++x) {
                if (image.At(x, y).a < kMaskAlphaBelow) {
                    row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                }
            }
            out.insert(out.end(), row.begin(), row.end());
        }
    }
    return out;
}
