// Bitmap files read back from the store's folder: the check must never read past the bytes,
// and whatever passes it must give a valid thumbnail.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/core/gray_bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (IsValidGray8Bitmap(data, size) == 0) {
        return 0;
    }
    uint8_t* thumbnail = nullptr;
    int32_t thumbnailSize = 0;
    if (MakeThumbnail(data, &thumbnail, &thumbnailSize) != 1 ||
        IsValidGray8Bitmap(thumbnail, static_cast<size_t>(thumbnailSize)) != 1) {
        std::abort();
    }
    std::free(thumbnail);
    return 0;
}
