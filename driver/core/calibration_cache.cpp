// Calibration from the sensor flash and its cache file.
#include "driver/core/calibration_cache.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <new>
#include <vector>

namespace qor {
namespace fs = std::filesystem;
namespace {

void DispatchPendingMessage(SensorPort& port) {
    if (port.hooks.dispatchPendingMessage) {
        port.hooks.dispatchPendingMessage();
    }
}

void Notify(const NoticeCallback& notify, const char* text) {
    if (notify) {
        notify(UserNotice{kChecksumTitle, text});
    }
}

std::unique_ptr<int32_t[]> AllocateFlashStaging(const SensorPort& port) {
    if (port.hooks.refuseAllocation && port.hooks.refuseAllocation(kFlashStagingBytes)) {
        return nullptr;
    }
    return std::unique_ptr<int32_t[]>(new (std::nothrow) int32_t[kFlashBytes]());
}

void LowBytes(const int32_t* staging, uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(staging[i]);
    }
}

int32_t FormatVersionOf(const uint8_t* image, int64_t length) {
    if (length < 8) {
        return 0;
    }
    return static_cast<int32_t>(uint32_t(image[4]) << 24 | uint32_t(image[5]) << 16 |
                                uint32_t(image[6]) << 8 | uint32_t(image[7]));
}

bool RunLoader(Calibration& calibration, const uint8_t* image, CalibrationLoader loader,
               const NoticeCallback& notify) {
    return loader == CalibrationLoader::Legacy ? LoadLegacyCalibration(calibration, image)
                                               : LoadCalibration(calibration, image, notify);
}

fs::path CachePath(const fs::path& directory, uint32_t imagerId) {
    const std::string name = CacheFileName(imagerId);
    return directory.empty() ? fs::path(name) : directory / name;
}

} // namespace

uint32_t ReadFlashHeader(SensorPort& port, DeviceHandle device) {
    DispatchPendingMessage(port);
    int32_t words[kFlashHeaderBytes] = {};
    ReadFlashWindow(port, device, 0, kFlashHeaderBytes, words);
    uint8_t header[kFlashHeaderBytes];
    LowBytes(words, header, kFlashHeaderBytes);
    return PeekImagerId(header);
}

void ReadFlashImage(SensorPort& port, DeviceHandle device, int32_t* staging) {
    for (uint32_t window = 0; window < kFlashWindowCount; ++window) {
        const uint32_t offset = window * kFlashWindowBytes;
        ReadFlashWindow(port, device, offset, kFlashWindowBytes, staging + offset);
    }
}

int32_t LoadSensorCalibration(SensorPort& port, DeviceHandle device, Calibration& calibration,
                              CalibrationLoader loader, const NoticeCallback& notify,
                              const fs::path& cacheDirectory) {
    const uint32_t imagerId = ReadFlashHeader(port, device);
    const auto area = AllocateWorkingMemory(port, kCalibrationImageSize);
    if (!area) {
        ReleaseCalibration(calibration);
        return 0;
    }
    // A header without identity (format 1, or a header that could not be read) names no cache
    // file of its own: "0.dat" would hand one such sensor another's calibration.
    if (imagerId != 0 &&
        ReadCalibrationCache(area.get(), static_cast<int32_t>(kCalibrationImageSize), imagerId,
                             notify, cacheDirectory) == 1) {
        RunLoader(calibration, area.get(), loader, notify);
        return 1;
    }
    if (loader == CalibrationLoader::Legacy) {
        DispatchPendingMessage(port);
    }
    {
        const auto staging = AllocateFlashStaging(port);
        if (!staging) {
            ReleaseCalibration(calibration);
            return 0;
        }
        ReadFlashImage(port, device, staging.get());
        LowBytes(staging.get(), area.get(), kCalibrationImageSize);
    }
    if (loader == CalibrationLoader::Legacy) {
        DispatchPendingMessage(port);
    }
    RunLoader(calibration, area.get(), loader, notify);
    // A rejected image is cached too, under the identity the set then holds.
    WriteCalibrationCache(area.get(), static_cast<int32_t>(kCalibrationImageSize),
                          calibration.set.imagerId, cacheDirectory);
    DispatchPendingMessage(port);
    return 1;
}

std::string CacheFileName(uint32_t imagerId) {
    const uint32_t type = SensorTypeOf(imagerId);
    return std::to_string(static_cast<int32_t>(imagerId)) +
           (type == 3 || type == 4 ? "s.dat" : ".dat");
}

int32_t ReadCalibrationCache(uint8_t* area, int32_t size, uint32_t imagerId,
                             const NoticeCallback& notify, const fs::path& cacheDirectory) {
    if (imagerId == kNeverCachedImagerId) {
        return 0; // that identity is never taken from a cache file
    }
    if (area == nullptr || size <= 0) {
        return 0;
    }
    std::ifstream in(CachePath(cacheDirectory, imagerId), std::ios::binary);
    if (!in) {
        return 0;
    }
    in.seekg(0, std::ios::end);
    const int64_t fileLength = static_cast<int64_t>(in.tellg());
    in.seekg(0, std::ios::beg);
    if (fileLength < 0) {
        return 0;
    }
    // The test needs the file's first 2 MiB; a smaller area gets its share from a copy.
    const int64_t wanted = std::min<int64_t>(fileLength, kCalibrationImageSize);
    std::vector<uint8_t> copy;
    uint8_t* image = area;
    if (size < static_cast<int64_t>(kCalibrationImageSize)) {
        try {
            copy.resize(kCalibrationImageSize);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        image = copy.data();
    }
    in.read(reinterpret_cast<char*>(image), static_cast<std::streamsize>(wanted));
    if (in.gcount() != wanted) {
        return 0;
    }
    if (image != area) {
        std::copy(image, image + std::min<int64_t>(size, wanted), area);
    }
    if (!VerifyCacheChecksum(fileLength, image, FormatVersionOf(image, wanted), notify)) {
        return 0;
    }
    // Formats without a checksum are still never taken from a truncated file.
    return fileLength >= static_cast<int64_t>(kCalibrationImageSize) ? 1 : 0;
}

bool VerifyCacheChecksum(int64_t fileLength, const uint8_t* image, int32_t formatVersion,
                         const NoticeCallback& notify) {
    if (formatVersion < 3) {
        return true;
    }
    // The checksum is the image's last byte: a file without it cannot be tested.
    if (fileLength < static_cast<int64_t>(kCalibrationImageSize)) {
        Notify(notify, kCacheTooShortText);
        return false;
    }
    if (CalibrationChecksum(image) != image[kCalibrationImageSize - 1]) {
        Notify(notify, kCacheCorruptText);
        return false;
    }
    return true;
}

bool WriteCalibrationCache(const uint8_t* image, int32_t size, uint32_t imagerId,
                           const fs::path& cacheDirectory) {
    if (image == nullptr || size <= 0) {
        return false;
    }
    static std::atomic<uint32_t> counter{0};
    const fs::path target = CachePath(cacheDirectory, imagerId);
    fs::path temp = target;
    temp += ".tmp" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFF) +
            "-" + std::to_string(counter++);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(image), size);
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        // Some platforms refuse to rename over an existing file: replace it in two steps.
        fs::remove(target, ec);
        fs::rename(temp, target, ec);
    }
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

int32_t WriteFlashDump(const char* path, const uint8_t* bytes, size_t count) {
    std::FILE* file = std::fopen(path != nullptr ? path : "", "wb+");
    if (file == nullptr) {
        return -2;
    }
    const size_t written = bytes != nullptr ? std::fwrite(bytes, 1, count, file) : 0;
    const bool closed = std::fclose(file) == 0;
    return written == count && closed ? 0 : -3;
}

int32_t readFlashAndWriteToFile(SensorPort& port, DeviceHandle device, const char* path) {
    const auto staging = AllocateFlashStaging(port);
    const auto bytes = AllocateWorkingMemory(port, kFlashBytes);
    if (!staging || !bytes) {
        return -1;
    }
    ReadFlashImage(port, device, staging.get());
    LowBytes(staging.get(), bytes.get(), kFlashBytes);
    return WriteFlashDump(path, bytes.get(), kFlashBytes);
}

int32_t KelvoInitMcs(SensorPort& port, DeviceHandle device, const int32_t* staging,
                     Calibration& calibration, const std::filesystem::path& cacheDirectory) {
    if (staging == nullptr) {
        return 0;
    }
    for (uint32_t window = 0; window < kFlashWindowCount; ++window) {
        const uint32_t offset = window * kFlashWindowBytes;
        WriteFlashWindow(port, device, offset, kFlashWindowBytes, staging + offset);
    }
    // The flash now holds another calibration: neither the loaded one nor a cache file of the
    // old or the new identity may be used again, or the next images would be corrected with
    // the calibration that was just replaced.
    uint8_t header[kFlashHeaderBytes];
    for (uint32_t i = 0; i < kFlashHeaderBytes; ++i) {
        header[i] = static_cast<uint8_t>(staging[i]);
    }
    for (const uint32_t imagerId : {calibration.set.imagerId, PeekImagerId(header)}) {
        std::error_code ignored;
        std::filesystem::remove(cacheDirectory / CacheFileName(imagerId), ignored);
    }
    ReleaseCalibration(calibration);
    return 1;
}

int32_t KelvoInitDemoMcs(const int32_t* staging, const char* path) {
    if (staging == nullptr || path == nullptr) {
        return 0;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return 0;
    }
    // Little-endian int32 per flash byte, written in chunks.
    uint8_t chunk[4096];
    bool ok = true;
    for (uint32_t i = 0; i < kFlashBytes && ok; i += sizeof chunk / 4) {
        for (uint32_t k = 0; k < sizeof chunk / 4; ++k) {
            const auto v = static_cast<uint32_t>(staging[i + k]);
            chunk[4 * k] = static_cast<uint8_t>(v);
            chunk[4 * k + 1] = static_cast<uint8_t>(v >> 8);
            chunk[4 * k + 2] = static_cast<uint8_t>(v >> 16);
            chunk[4 * k + 3] = static_cast<uint8_t>(v >> 24);
        }
        ok = std::fwrite(chunk, 1, sizeof chunk, file) == sizeof chunk;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok ? 1 : 0;
}

} // namespace qor
