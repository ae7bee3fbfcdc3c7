#include "app/new_image_record.h"

#include <windows.h>

#include <cstdlib>

#include "app/core/gray_bitmap.h"
#include "app/raw_frame_list.h"
#include "common/core/log_file.h"

ImageDataStruct* MakeNewImageRecord(NewImageKind kind, void* data, int size, int height, int width) {
    ImageDataStruct* record = NewImageRecord();
    if (record == nullptr) {
        if (kind == NewImageKind::FinishedBitmap) {
            std::free(data);
        }
        TheLogFile().Write(LOG_FATAL, "HandleNewImage: no memory for the image record\n");
        return nullptr;
    }
    if (kind == NewImageKind::RawSensorImage) {
        uint8_t* bitmap = nullptr;
        if (!MakeGray8Bitmap(static_cast<const int32_t*>(data), kRawFramePixels, width, height,
                             &bitmap, record)) {
            // Without a geometry there is no picture to keep: an empty record would only give
            // an empty file and an entry no client can use.
            TheLogFile().WriteFormat(LOG_FATAL,
                                     "HandleNewImage: the sensor image (width %d, height %d) "
                                     "cannot be converted and is not stored. Remove and "
                                     "activate the sensor again.\n",
                                     width, height);
            FreeImageRecord(record);
            return nullptr;
        }
        record->pImageData = bitmap;
    } else {
        record->pImageData = static_cast<uint8_t*>(data);
        record->nImageSize = size;
    }
    uint8_t* thumbnail = nullptr;
    int32_t thumbnailSize = 0;
    if (MakeThumbnail(record->pImageData, &thumbnail, &thumbnailSize)) {
        record->pThumbnailData = thumbnail;
        record->nThumbnailSize = thumbnailSize;
    }
    record->bSelected = 1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    record->stTime = {now.wYear,  now.wMonth,  now.wDayOfWeek, now.wDay,
                      now.wHour,  now.wMinute, now.wSecond,    now.wMilliseconds};
    return record;
}
