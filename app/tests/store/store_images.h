// The test image of the store tests: 130 x 90 pixels, a ramp starting at `tag` (so that images
// with other tags have other bytes), arriving on 2026-12-07 at 11:30:<second>.<ms>.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/core/gray_bitmap.h"
#include "common/core/image_record.h"

inline ImageDataStruct* NewImage(uint16_t second, uint16_t ms, int32_t tag = 2048) {
    ImageDataStruct* record = NewImageRecord();
    std::vector<int32_t> pixels(130 * 90);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<int32_t>((i + static_cast<size_t>(tag)) % 4096);
    }
    EXPECT_EQ(MakeGray8Bitmap(pixels.data(), 130 * 90, 130, 90, &record->pImageData, record), 1);
    EXPECT_EQ(MakeThumbnail(record->pImageData, &record->pThumbnailData, &record->nThumbnailSize),
              1);
    record->bSelected = 1;
    record->stTime = {2026, 12, 1, 7, 11, 30, second, ms};
    return record;
}
