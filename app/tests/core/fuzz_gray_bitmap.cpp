// Bitmap files read back from the store's folder and frames turned into bitmaps: the check and
// the thumbnail never read past the bytes, whatever passes the check gives a valid thumbnail,
// and every bitmap made from a frame passes the check.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/core/gray_bitmap.h"

namespace {

void CheckThumbnailOf(const uint8_t* bitmap, bool mustSucceed) {
    uint8_t* thumbnail = nullptr;
    int32_t size = 0;
    const int made = MakeThumbnail(bitmap, &thumbnail, &size);
    if (made == 1 && IsValidGray8Bitmap(thumbnail, static_cast<size_t>(size)) != 1) {
        std::abort();
    }
    if (mustSucceed && made != 1) {
        std::abort();
    }
    std::free(thumbnail);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 54) {
        IsValidGray8Bitmap(data, size);
        return 0;
    }
    // As a file: the thumbnail trusts the file size field, so it is made true first.
    std::vector<uint8_t> file(data, data + size);
    const bool valid = IsValidGray8Bitmap(file.data(), file.size()) == 1;
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(&file[2], &length, 4);
    CheckThumbnailOf(file.data(), valid);

    // As a frame: a small geometry from the first bytes, pixels from the rest.
    const int32_t width = data[0] % 200 + 1;
    const int32_t height = (data[1] % 200 + 1) * (data[2] & 1 ? -1 : 1);
    std::vector<int32_t> pixels((size - 3) / 4);
    if (!pixels.empty()) {
        std::memcpy(pixels.data(), data + 3, pixels.size() * 4);
    }
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    if (MakeGray8Bitmap(pixels.data(), static_cast<int32_t>(pixels.size()), width, height, &bitmap,
                        &record) == 1) {
        if (IsValidGray8Bitmap(bitmap, static_cast<size_t>(record.nImageSize)) != 1) {
            std::abort();
        }
        CheckThumbnailOf(bitmap, true);
        std::free(bitmap);
    }
    return 0;
}
