// The image record of the store and the entry of the image information file. Both cross DLL
// boundaries (the information library, the selected-image queue, the data source), so their
// field order is fixed; the byte sizes 36 and 24 are those of the 32-bit build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Time of arrival, laid out as the Windows SYSTEMTIME (eight 16-bit fields).
struct ImageTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(ImageTime) == 16);

// One stored image. Allocated zeroed with NewImageRecord; both bitmaps are std::malloc'd and
// owned by the record; FreeImageRecord releases the record and both bitmaps.
struct ImageDataStruct {
    int32_t nImageSize;      // bytes of the 8-bit bitmap file image
    uint8_t* pImageData;     // the bitmap file image
    int32_t nThumbnailSize;  // bytes of the thumbnail file image (11398)
    uint8_t* pThumbnailData; // the thumbnail file image
    int32_t bSelected;       // non-zero: selected for transfer
    ImageTime stTime;        // local time of arrival
};

// One entry of the information file as the information library returns it.
struct ImageInfoStuct {
    int32_t nFileNumber; // names the file: "%.9d.bmp"
    ImageTime stTime;
    int32_t bSelected;
};
static_assert(sizeof(ImageInfoStuct) == 24);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ImageDataStruct) == 36);
static_assert(offsetof(ImageDataStruct, stTime) == 20);
#endif

inline ImageDataStruct* NewImageRecord() {
    return static_cast<ImageDataStruct*>(std::calloc(1, sizeof(ImageDataStruct)));
}

inline void FreeImageRecord(ImageDataStruct* record) {
    if (record != nullptr) {
        std::free(record->pImageData);
        std::free(record->pThumbnailData);
        std::free(record);
    }
}
