// Frame files of the command-line tools.
#include "frame_files.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace qorctl {

bool WriteRawFrame(const std::filesystem::path& path, const int32_t* values, size_t count) {
    std::vector<uint8_t> bytes(count * 4);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = static_cast<uint32_t>(values[i]);
        bytes[4 * i] = static_cast<uint8_t>(v);
        bytes[4 * i + 1] = static_cast<uint8_t>(v >> 8);
        bytes[4 * i + 2] = static_cast<uint8_t>(v >> 16);
        bytes[4 * i + 3] = static_cast<uint8_t>(v >> 24);
    }
    return WriteBytes(path, bytes.data(), bytes.size());
}

bool ReadRawFrame(const std::filesystem::path& path, std::vector<int32_t>& values,
                  std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadBytes(path, bytes, error)) {
        return false;
    }
    if (bytes.size() % 4 != 0) {
        error = path.string() + ": length " + std::to_string(bytes.size()) +
                " is not a whole number of int32 values";
        return false;
    }
    values.resize(bytes.size() / 4);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int32_t>(uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
                                         uint32_t(bytes[4 * i + 2]) << 16 |
                                         uint32_t(bytes[4 * i + 3]) << 24);
    }
    return true;
}

bool WritePgm(const std::filesystem::path& path, const int32_t* values, int32_t width,
              int32_t height) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out << "P5\n" << width << ' ' << height << "\n4095\n";
    std::vector<uint8_t> row(static_cast<size_t>(width) * 2);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int32_t v = std::clamp(values[static_cast<size_t>(y) * width + x], 0, 4095);
            row[2 * x] = static_cast<uint8_t>(v >> 8);
            row[2 * x + 1] = static_cast<uint8_t>(v);
        }
        out.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
    }
    return static_cast<bool>(out);
}

std::filesystem::path SaveNumberedFrame(const std::filesystem::path& dir, int n,
                                        const int32_t* values, int32_t width, int32_t height) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%03d", n);
    const std::filesystem::path base = dir / name;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (!WriteRawFrame(base.string() + ".raw", values, pixels) ||
        !WritePgm(base.string() + ".pgm", values, width, height)) {
        return {};
    }
    return base;
}

bool ReadBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.string() + ": cannot open";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteBytes(const std::filesystem::path& path, const uint8_t* bytes, size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    return static_cast<bool>(out);
}

}  // namespace qorctl
