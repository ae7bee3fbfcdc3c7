// Fuzz target: a calibration cache file of arbitrary contents and length, read into areas of
// several sizes. The file is the input repeated or cut to a length the input chooses, so that
// both short files and full 2 MiB images (with or without a valid checksum) are reached.
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
    // Length: 0..0x200000 plus a few bytes, chosen by the first two bytes.
    const size_t length = (size_t(data[0]) << 8 | data[1]) * 33;
    std::vector<uint8_t> file(std::min<size_t>(length, qor::kCalibrationImageSize + 7));
    // The input's tail, repeated: whole copies, not a division per byte.
    const size_t period = size - 2;
    for (size_t at = 0; at < file.size(); at += period) {
        std::memcpy(file.data() + at, data + 2, std::min(period, file.size() - at));
    }
    if (file.size() >= qor::kCalibrationImageSize && (data[0] & 1)) {
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
