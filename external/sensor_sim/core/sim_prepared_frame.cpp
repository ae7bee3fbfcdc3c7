// The prepared-frame file of a simulated sensor.
#include "external/sensor_sim/core/sim_prepared_frame.h"

#include "external/sensor_sim/core/sim_directory.h"
#include "external/sensor_sim/core/sim_protocol.h"

#include <cstring>

namespace qor::sim {
namespace {

constexpr char kMagic[16] = "qorsim-frame 1";
constexpr size_t kHeaderBytes = 16 + 8 + 4 + 4 + 8 + 4;
constexpr char kFileName[] = "exposure.frame";

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t Get(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

} // namespace

uint64_t FlashDigest(const std::vector<uint8_t>& flash) {
    // FNV-1a over 64-bit little-endian words: a changed byte anywhere changes the value.
    uint64_t digest = 14695981039346656037ull ^ flash.size();
    size_t i = 0;
    for (; i + 8 <= flash.size(); i += 8) {
        digest = (digest ^ Get(flash.data() + i, 8)) * 1099511628211ull;
    }
    for (; i < flash.size(); ++i) {
        digest = (digest ^ flash[i]) * 1099511628211ull;
    }
    return digest;
}

std::vector<uint8_t> EncodePreparedFrame(const PreparedFrame& frame) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    out.reserve(kHeaderBytes + 2 * frame.samples.size());
    Put(out, frame.count, 8);
    Put(out, frame.seed, 4);
    Put(out, frame.legacy ? 1 : 0, 4);
    Put(out, frame.flashDigest, 8);
    Put(out, frame.samples.size(), 4);
    for (const uint16_t sample : frame.samples) {
        Put(out, sample, 2);
    }
    return out;
}

bool ParsePreparedFrame(const std::vector<uint8_t>& bytes, PreparedFrame& frame) {
    if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return false;
    }
    const uint8_t* at = bytes.data() + sizeof kMagic;
    PreparedFrame parsed;
    parsed.count = Get(at, 8);
    parsed.seed = static_cast<uint32_t>(Get(at + 8, 4));
    const uint64_t legacy = Get(at + 12, 4);
    parsed.flashDigest = Get(at + 16, 8);
    const uint64_t samples = Get(at + 24, 4);
    if (legacy > 1 || samples > kFrameMemoryBytes / 2 ||
        bytes.size() != kHeaderBytes + 2 * samples) {
        return false;
    }
    parsed.legacy = legacy == 1;
    parsed.samples.resize(samples);
    const uint8_t* data = bytes.data() + kHeaderBytes;
    for (size_t i = 0; i < samples; ++i) {
        parsed.samples[i] = static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
    frame = std::move(parsed);
    return true;
}

bool WritePreparedFrame(const std::filesystem::path& folder, const PreparedFrame& frame) {
    const std::vector<uint8_t> bytes = EncodePreparedFrame(frame);
    return WriteFileAtomically(folder / kFileName, bytes.data(), bytes.size());
}

bool ReadPreparedFrame(const std::filesystem::path& folder, PreparedFrame& frame) {
    std::vector<uint8_t> bytes;
    return ReadWholeFile(folder / kFileName, bytes, kHeaderBytes + kFrameMemoryBytes) &&
           ParsePreparedFrame(bytes, frame);
}

} // namespace qor::sim
