// A copy taken out of the store (disk queue, earlier QOR APP) is written back into the Images
// folder at once (under its time of arrival where that name is free) and removed only when the
// program has it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/core/image_record.h"

bool SafekeepTakenImage(const uint8_t* data, size_t size, const ImageTime* arrival);
void TakenImageDelivered();
void ForgetTakenImage();  // the kept file stays: QOR APP adopts it at its next start
