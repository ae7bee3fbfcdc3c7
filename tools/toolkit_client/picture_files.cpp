// Pictures of a toolkit bitmap.
#include "tools/toolkit_client/picture_files.h"

#include <cstdint>
#include <fstream>
#include <vector>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace toolkit_client {
namespace {

void Put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

}  // namespace

bool WriteGreyBmp(const toolkit::Bitmap& bitmap, const std::string& path) {
    const std::vector<uint8_t> rows = toolkit::DisplayRows(bitmap);
    if (rows.empty()) {
        return false;
    }
    const uint32_t stride = rows.size() / static_cast<uint32_t>(bitmap.height);
    const uint32_t offset = 14 + 40 + 1024;
    std::vector<uint8_t> file;
    file.reserve(offset + rows.size());
    file.push_back('B');
    file.push_back('M');
    Put32(file, offset + static_cast<uint32_t>(rows.size()));
    Put32(file, 0);
    Put32(file, offset);
    Put32(file, 40);
    Put32(file, static_cast<uint32_t>(bitmap.width));
    Put32(file, static_cast<uint32_t>(bitmap.height));  // positive: bottom-up
    Put16(file, 1);
    Put16(file, 8);
    Put32(file, 0);
    Put32(file, static_cast<uint32_t>(rows.size()));
    Put32(file, 3780);  // 96 dots per inch
    Put32(file, 3780);
    Put32(file, 256);
    Put32(file, 0);
    for (uint32_t i = 0; i < 256; ++i) {
        Put32(file, i * 0x010101u);
    }
    for (int32_t y = bitmap.height - 1; y >= 0; --y) {
        const auto* row = rows.data() + static_cast<size_t>(y) * stride;
        file.insert(file.end(), row, row + stride);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out);
}

bool WriteGreyPng(const toolkit::Bitmap& bitmap, const std::string& path) {
    const std::vector<uint8_t> rows = toolkit::DisplayRows(bitmap);
    if (rows.empty()) {
        return false;
    }
    const int stride = static_cast<int>(rows.size() / static_cast<size_t>(bitmap.height));
    return stbi_write_png(path.c_str(), bitmap.width, bitmap.height, 1, rows.data(), stride) != 0;
}

}  // namespace toolkit_client
