// Fuzz target: a calibration cache file of arbitrary contents and length, read into areas of
// several sizes. The file is the input repeated or cut to a length the input chooses: mostly
// short files (every rejection of a truncated cache), one input in sixteen a file just under, at
// or just over the full 2 MiB image (with or without a valid checksum). Full-size files cost some
// milliseconds each.
#include "driver/core/calibration_cache.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    if (size < 3) {
        return 0;
    }
    // A memory file system where there is one: the files are up to 2 MiB each.
    static const fs::path dir = [] {
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path d = base / "qor-cache-fuzz";
        fs::create_directories(d);
        return d;
    }();
    // Length, chosen by the first two bytes: 0..64 KiB, or kCalibrationImageSize -8..+7.
    const bool fullSize = (data[0] & 0x0F) == 0;
    const size_t length = fullSize ? qor::kCalibrationImageSize - 8 + data[1] % 16
                                   : (size_t(data[0] >> 4) << 8 | data[1]) * 16;
    std::vector<uint8_t> file(length);
    // The input's tail, repeated by doubling what is already filled: a loop per copy of a short
    // tail took most of the time, every comparison in it traced by the coverage instrumentation.
    size_t filled = std::min(size - 2, file.size());
    if (filled > 0) {
        std::memcpy(file.data(), data + 2, filled);
    }
    while (filled < file.size()) {
        const size_t n = std::min(filled, file.size() - filled);
        std::memcpy(file.data() + filled, file.data(), n);
        filled += n;
    }
    if (file.size() >= qor::kCalibrationImageSize && (data[1] & 0x10)) {
        file[qor::kCalibrationImageSize - 1] = qor::CalibrationChecksum(file.data());
    }
    const uint32_t imagerId = 0x00200001;
    {
        std::ofstream out(dir / qor::CacheFileName(imagerId), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
    }
    static std::vector<uint8_t> area(qor::kCalibrationImageSize);
    qor::ReadCalibrationCache(area.data(), static_cast<int32_t>(area.size()), imagerId, nullptr,
                              dir);
    std::vector<uint8_t> small(data[2]);
    qor::ReadCalibrationCache(small.data(), static_cast<int32_t>(small.size()), imagerId, nullptr,
                              dir);
    return 0;
}
