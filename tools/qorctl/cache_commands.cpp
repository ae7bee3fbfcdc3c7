// qorctl verify-cache: checks a calibration cache file as the driver library would.
#include "tools/qorctl/commands.h"
#include "tools/qorctl/frame_files.h"

#include "driver/core/calibration_cache.h"
#include "driver/core/calibration_record.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace qorctl {

namespace {

void RunVerifyCache(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadBytes(path, bytes, error)) {
        std::cerr << "qorctl: " << error << '\n';
        throw CLI::RuntimeError(1);
    }
    if (bytes.size() < qor::kCalibrationHeaderSize) {
        std::cerr << "qorctl: " << path << ": " << bytes.size()
                  << " bytes, too short for a calibration header\n";
        throw CLI::RuntimeError(1);
    }
    const qor::CalibrationHeader header = qor::ParseCalibrationHeader(bytes.data());
    const auto formatVersion = static_cast<int32_t>(header.words[1]);
    const uint32_t imagerId = header.words[2];
    std::printf("%s: %zu bytes, format %d, imager ID %u (expected name %s)\n", path.c_str(),
                bytes.size(), formatVersion, imagerId, qor::CacheFileName(imagerId).c_str());
    // The library tests files of format 3 and later; a tool says what it finds for any file.
    std::vector<std::string> messages;
    const bool ok = qor::VerifyCacheChecksum(
        static_cast<int64_t>(bytes.size()), bytes.data(), formatVersion < 3 ? 3 : formatVersion,
        [&messages](const qor::UserNotice& notice) { messages.push_back(notice.text); });
    for (const std::string& message : messages) {
        std::printf("checksum: %s\n", message.c_str());
    }
    if (!ok) {
        throw CLI::RuntimeError(1);
    }
    std::printf("checksum: valid\n");
}

}  // namespace

void AddCacheCommands(CLI::App& app) {
    auto* verify = app.add_subcommand("verify-cache", "check a calibration cache file");
    auto file = std::make_shared<std::string>();
    verify->add_option("file", *file, "cache file")->required();
    verify->callback([file] { RunVerifyCache(*file); });
}

}  // namespace qorctl
