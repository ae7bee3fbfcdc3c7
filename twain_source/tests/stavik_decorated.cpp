// A queue library exported under the decorated stdcall names only (as the maker's is), serving
// two small bitmaps from memory: the source must find it in the installation folder.
#include <windows.h>

#include <cstring>

#include "common/core/image_record.h"

namespace {

int g_nLeft = 2;

}  // namespace

extern "C" {

int __stdcall InitializeImageQueue() { return 1; }
int __stdcall GetTotNumOfSelImages() { return g_nLeft; }

ImageDataStruct* __stdcall RemoveOldestSelImg() {
    if (g_nLeft <= 0) return nullptr;
    const int serial = 3 - g_nLeft--;
    ImageDataStruct* record = NewImageRecord();
    const uint32_t size = 1078 + 4 * 2;
    record->nImageSize = static_cast<int32_t>(size);
    record->pImageData = static_cast<uint8_t*>(std::calloc(1, size));
    uint8_t* b = record->pImageData;
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(b + at, &v, 4); };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, size);
    put32(10, 1078);
    put32(14, 40);
    put32(18, 4);
    put32(22, 2);
    b[26] = 1;
    b[28] = 8;
    put32(34, 8);
    put32(46, 256);
    for (int i = 0; i < 256; ++i) b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 8; ++i) b[1078 + i] = static_cast<uint8_t>(serial * 100 + i);
    return record;
}

int __stdcall FreeImg(ImageDataStruct* record) {
    FreeImageRecord(record);
    return 1;
}

int __stdcall ClearImageQueue() { return 1; }

}  // extern "C"
