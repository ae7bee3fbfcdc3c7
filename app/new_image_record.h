// The store record of a new image, as QOR APP makes it from a sensor frame or a finished bitmap.
#pragma once

#include "common/core/image_record.h"

// What HandleNewImage is given.
enum class NewImageKind { RawSensorImage, FinishedBitmap };

// A record with the image's 8-bit bitmap (converted from the raw frame's int32 pixels, or the
// finished bitmap itself, whose std::malloc'd memory the record takes over), its thumbnail,
// ticked and stamped with the local time. Null when there is no memory for the record or the
// frame's geometry cannot be converted (logged); a finished bitmap is freed then.
ImageDataStruct* MakeNewImageRecord(NewImageKind kind, void* data, int size, int height, int width);
