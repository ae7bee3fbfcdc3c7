// Calibration from the sensor: the flash header and image, the per-sensor cache file with its
// checksum test, the flash dump, and writing a calibration image into the flash.
#pragma once

#include "driver/core/calibration_record.h"
#include "driver/core/sensor_transport.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace qor {

enum class CalibrationLoader { Standard, Legacy };

inline constexpr uint32_t kFlashHeaderBytes = 136;
inline constexpr uint32_t kFlashStagingBytes = kFlashBytes * 4; // one int32 per flash byte
inline constexpr uint32_t kNeverCachedImagerId = 65536;
inline constexpr char kDemoFlashPath[] = "C:\\DemoFlash.dat";

inline constexpr const char* kChecksumTitle = "CheckSum Error";
inline constexpr const char* kCacheTooShortText = "DAT file is too short to compute the checksum";
inline constexpr const char* kCacheCorruptText = "Dat file may be corrupted.";

// imagerId of the flash header (0 for a header older than format 2). Dispatches one pending
// window message first.
uint32_t ReadFlashHeader(SensorPort& port, DeviceHandle device);
// The whole flash in 64 windows of 32768 bytes into 0x200000 int32 elements.
void ReadFlashImage(SensorPort& port, DeviceHandle device, int32_t* staging);

// Fetches the sensor's calibration: from its cache file when one passes the checksum test,
// otherwise from the flash (then the cache file is written). A header without identity (0)
// always reads the flash. The cache lives in `cacheDirectory`
// (empty: the current directory). 1; 0 when the working memory could not be had, in which case
// the calibration is released so that QorInitSensor reports none.
int32_t LoadSensorCalibration(SensorPort& port, DeviceHandle device, Calibration& calibration,
                              CalibrationLoader loader, const NoticeCallback& notify,
                              const std::filesystem::path& cacheDirectory = {});

// "<imagerId as signed decimal>.dat", or "s.dat" for sensor types 3 and 4.
std::string CacheFileName(uint32_t imagerId);

// Reads the cache file of `imagerId` (never for 65536) into `area` (up to `size` bytes) and
// tests it. 1 when a usable copy is in the area, else 0. The test reads the file's own first
// 2 MiB, so a smaller area is never read beyond `size`.
int32_t ReadCalibrationCache(uint8_t* area, int32_t size, uint32_t imagerId,
                             const NoticeCallback& notify,
                             const std::filesystem::path& cacheDirectory = {});
// The checksum test of a cache file `fileLength` bytes long whose first min(fileLength, 2 MiB)
// bytes are `image`, for a calibration of `formatVersion`. Below format 3 it passes. Otherwise a
// file without all 0x200000 bytes is too short, and the XOR of bytes 0..0x1FFFFE must equal byte
// 0x1FFFFF; each failure shows its message.
bool VerifyCacheChecksum(int64_t fileLength, const uint8_t* image, int32_t formatVersion,
                         const NoticeCallback& notify);
// Replaces the cache file (through a temporary file, so that a reader never sees half of it).
// False when it could not be written; initialisation goes on regardless.
bool WriteCalibrationCache(const uint8_t* image, int32_t size, uint32_t imagerId,
                           const std::filesystem::path& cacheDirectory = {});

// Writes a flash byte image with the runtime's stream functions ("wb+"; a null path counts as
// an empty name): 0 written, -2 the file did not open, -3 fewer bytes written.
int32_t WriteFlashDump(const char* path, const uint8_t* bytes, size_t count);
// readFlashAndWriteToFile: the whole flash into a file. 0, -2, -3 as WriteFlashDump; -1 when the
// working memory could not be had (nothing is read or written then).
int32_t readFlashAndWriteToFile(SensorPort& port, DeviceHandle device, const char* path);
// KelvoInitMcs: writes the low bytes of 0x200000 int32 elements into the flash in 64 windows.
// 1; 0 for a null array.
// Afterwards the calibration is released and the cache files of the old and the new identity
// are removed, so the next initialisation reads the new calibration from the flash.
int32_t KelvoInitMcs(SensorPort& port, DeviceHandle device, const int32_t* staging,
                     Calibration& calibration, const std::filesystem::path& cacheDirectory = {});
// KelvoInitDemoMcs: writes the 0x200000 int32 elements as 0x800000 little-endian bytes to
// `path` (the library passes kDemoFlashPath). 1; 0 for a null array or a file that could not be
// written.
int32_t KelvoInitDemoMcs(const int32_t* staging, const char* path);

} // namespace qor
