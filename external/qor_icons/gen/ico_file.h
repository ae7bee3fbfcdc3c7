// EncodeIco: the bytes of a Windows .ico file holding one 32-bit (straight alpha) image per
// canvas, each with the 1-bit mask that older renderers use.
#pragma once

#include "external/qor_icons/gen/canvas.h"

#include <cstdint>
#include <vector>

std::vector<uint8_t> EncodeIco(const std::vector<Canvas>& images);
