// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF): the check value of an image lent over the pipe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// The CRC-32 of `count` bytes. Pass the previous result as `crc` to continue over more bytes
// (0 to start), as with zlib's crc32().
uint32_t Crc32(const uint8_t* bytes, size_t count, uint32_t crc = 0);

}  // namespace qor
