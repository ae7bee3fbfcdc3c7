// The imaging toolkit's bitmap record and its operations, portable so that the two toolkit DLLs
// stay thin and the operations are tested natively.
//
// The caller owns the record; the toolkit owns the pixel memory behind it until FreeBitmap.
// Older callers read the record's third, fourth and twelfth 32-bit words (width, height,
// orientation) directly, so the first twelve words are fixed-width in every build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace toolkit {

// Results: 1 for success, a negative code for failure (ResultText names it).
enum Result : int32_t {
    kSuccess = 1,
    kInvalidBitmap = -1,   // null record, or no pixel memory behind it
    kInvalidArgument = -2, // size, depth, row or angle outside what the toolkit handles
    kNoMemory = -3,
    kNotAccessed = -4,     // rows stored without opening row access first
};

// Orientation codes of the twelfth word; 4, 5, 7 and 8 store the picture turned by 90 degrees.
constexpr int32_t kTopLeft = 1;
constexpr int32_t kOrderGrey = 2;
constexpr int32_t kRotateResize = 1;  // flag of RotateBitmap: grow the bitmap to hold the turn
constexpr int32_t kMaxSide = 65535;

struct Bitmap {
    int32_t structSize;      // sizeof(Bitmap) once created
    int32_t memoryType;      // as the creator passed it
    int32_t width;           // third word
    int32_t height;          // fourth word
    int32_t bitsPerPixel;    // 8 or 16, grey
    int32_t bytesPerLine;    // padded to 4 bytes, as device-independent bitmaps are
    int32_t order;           // as the creator passed it (2: grey)
    int32_t accessCount;     // open row accesses
    uint32_t dataSize;       // bytes of pixel memory
    int32_t xResolution;     // dots per inch
    int32_t yResolution;
    int32_t viewPerspective; // twelfth word
    uint8_t* data;           // rows top-down
    uint8_t palette[256 * 4]; // blue, green, red, 0 per entry
};
static_assert(offsetof(Bitmap, width) == 8 && offsetof(Bitmap, height) == 12 &&
              offsetof(Bitmap, viewPerspective) == 44);

const char* ResultText(int32_t result);

// bitsPerPixel 0 means the toolkit's default, 8. `palette` (256 four-byte entries) may be null
// for a grey ramp; `data` (dataSize bytes of rows in the record's layout) may be null for black.
int32_t CreateBitmap(Bitmap* bitmap, int32_t memoryType, int32_t width, int32_t height,
                     int32_t bitsPerPixel, int32_t order, const uint8_t* palette,
                     int32_t viewPerspective, const uint8_t* data, uint32_t dataSize);
// Converts the pixels to a grey depth of 8 or 16 bits, keeping the picture.
int32_t SetGreyDepth(Bitmap* bitmap, int32_t bitsPerPixel);
int32_t AccessBitmap(Bitmap* bitmap);
int32_t ReleaseBitmap(Bitmap* bitmap);
// Stores `bytes` bytes (at most one row) into row `row`; answers the bytes stored.
int32_t PutRow(Bitmap* bitmap, const uint8_t* rowData, int32_t row, uint32_t bytes);
// Turns clockwise by `angle` hundredths of a degree; right angles only. A quarter turn of a
// bitmap that is not square needs kRotateResize.
int32_t RotateBitmap(Bitmap* bitmap, int32_t angle, int32_t flags, uint32_t fill);
void FreeBitmap(Bitmap* bitmap);

bool IsValid(const Bitmap* bitmap);
// One pixel as stored (for 16 bits the little-endian word).
uint32_t Pixel(const Bitmap& bitmap, int32_t x, int32_t y);
// The rows at 8 bits (16-bit pixels keep their high byte), padded to 4 bytes, for painting.
std::vector<uint8_t> DisplayRows(const Bitmap& bitmap);

}  // namespace toolkit
