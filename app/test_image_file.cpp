#include "app/test_image_file.h"

#include <cstdio>
#include <cstdlib>

#include "app/core/gray_bitmap.h"
#include "common/core/log_file.h"

namespace {

TestImageFile Failure(UINT text, const char* line) {
    TheLogFile().Write(LOG_WARN, line);
    return TestImageFile{nullptr, 0, text};
}

}  // namespace

TestImageFile ReadTestImageFile() {
    HANDLE file = CreateFileW(L"./TestImage.bmp", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Failure(102, " OnTestmode(): hFile = NULL\n");
    }
    LARGE_INTEGER length{};
    const BOOL sized = GetFileSizeEx(file, &length);
    CloseHandle(file);
    // A bitmap larger than any sensor image is not one the store can take.
    if (!sized || length.QuadPart <= 0 || length.QuadPart > 64 * 1024 * 1024) {
        return Failure(103, " OnTestmode(): Not valid Bitmap\n");
    }
    const size_t size = static_cast<size_t>(length.QuadPart);
    auto* bytes = static_cast<uint8_t*>(std::malloc(size));
    FILE* stream = bytes != nullptr ? _wfopen(L"./TestImage.bmp", L"rb") : nullptr;
    if (stream == nullptr) {
        std::free(bytes);
        return Failure(102, " OnTestmode(): fp = NULL\n");
    }
    const size_t read = std::fread(bytes, 1, size, stream);
    std::fclose(stream);
    if (read != size) {
        TheLogFile().Write(LOG_WARN, " OnTestmode(): Error - fread()\n");
    }
    // Only the bytes actually read are checked and stored.
    if (!IsValidGray8Bitmap(bytes, read)) {
        std::free(bytes);
        return Failure(103, " OnTestmode(): Not valid Bitmap\n");
    }
    return TestImageFile{bytes, read, 0};
}
