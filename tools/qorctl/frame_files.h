// Frame files of the command-line tools: little-endian int32 raw frames and 16-bit binary PGM.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qorctl {

// Row-major, first row first, one little-endian int32 per pixel.
bool WriteRawFrame(const std::filesystem::path& path, const int32_t* values, size_t count);
// Reads a whole raw frame; false (and a message in `error`) when the file is missing or its
// length is not a multiple of 4.
bool ReadRawFrame(const std::filesystem::path& path, std::vector<int32_t>& values,
                  std::string& error);
// 16-bit binary PGM (P5, maxval 4095, big-endian samples); values clamped to 0..4095.
bool WritePgm(const std::filesystem::path& path, const int32_t* values, int32_t width,
              int32_t height);
// Saves image n of a series as DIR/frame_NNN.raw and DIR/frame_NNN.pgm; the path without
// extension, or an empty path when a file could not be written.
std::filesystem::path SaveNumberedFrame(const std::filesystem::path& dir, int n,
                                        const int32_t* values, int32_t width, int32_t height);
// Reads/writes a file of raw bytes (calibration images).
bool ReadBytes(const std::filesystem::path& path, std::vector<uint8_t>& bytes, std::string& error);
bool WriteBytes(const std::filesystem::path& path, const uint8_t* bytes, size_t count);

}  // namespace qorctl
