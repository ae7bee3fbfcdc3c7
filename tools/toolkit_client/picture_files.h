// Writes a toolkit bitmap as pictures a person can open: an 8-bit grey BMP (bottom-up rows, grey
// palette) and a PNG. 16-bit bitmaps are written with their high bytes.
#pragma once

#include "external/imaging_toolkit/core/toolkit_bitmap.h"

#include <string>

namespace toolkit_client {

bool WriteGreyBmp(const toolkit::Bitmap& bitmap, const std::string& path);
bool WriteGreyPng(const toolkit::Bitmap& bitmap, const std::string& path);

}  // namespace toolkit_client
