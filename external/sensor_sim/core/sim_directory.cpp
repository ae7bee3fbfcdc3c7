// Files of the simulator directory.
#include "external/sensor_sim/core/sim_directory.h"

#include "external/sensor_sim/core/sim_protocol.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <fstream>
#include <thread>

namespace qor::sim {
namespace fs = std::filesystem;
namespace {

constexpr char kStateHeader[] = "qorsim-state 1";
constexpr size_t kMaxTextFile = 64 * 1024;
constexpr int kRetries = 50;
constexpr auto kRetryPause = std::chrono::milliseconds(2);

template <typename T> bool ParseNumber(const std::string& text, T& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last && !text.empty();
}

// key=value lines; '\r' tolerated so that files edited on Windows still read.
std::vector<std::pair<std::string, std::string>> SplitLines(const std::string& text,
                                                            std::string& firstLine) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = end + 1;
        if (first) {
            firstLine = line;
            first = false;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            pairs.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return pairs;
}

bool ReadText(const fs::path& path, std::string& text) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, kMaxTextFile)) {
        return false;
    }
    text.assign(bytes.begin(), bytes.end());
    return true;
}

bool WriteText(const fs::path& path, const std::string& text) {
    return WriteFileAtomically(path, text.data(), text.size());
}

bool ParseVersion(const std::string& text, std::array<uint8_t, 3>& version) {
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t dot = text.find('.', start);
        if ((i < 2) != (dot != std::string::npos)) {
            return false;
        }
        uint32_t v = 0;
        if (!ParseNumber(text.substr(start, dot - start), v) || v > 255) {
            return false;
        }
        version[i] = static_cast<uint8_t>(v);
        start = dot + 1;
    }
    return true;
}

// The exposure and consumed files: a header line, then "count=" and (exposure) "seed=".
bool ParseCounterText(const std::string& text, const char* header, uint64_t& count,
                      uint32_t* seed) {
    std::string first;
    bool haveCount = false, haveSeed = seed == nullptr;
    for (const auto& [key, value] : SplitLines(text, first)) {
        if (key == "count") {
            haveCount = ParseNumber(value, count);
        } else if (key == "seed" && seed != nullptr) {
            haveSeed = ParseNumber(value, *seed);
        }
    }
    return first == header && haveCount && haveSeed;
}

} // namespace

bool IsValidSensorName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string InterfacePathFor(const std::string& name) {
    return "\\\\?\\qorsim#sensor#" + name + "#{d1f7be01-e9e2-43c4-b723-a2c5519e4e6f}";
}

bool ReadStateFile(const fs::path& folder, SensorStateFile& state) {
    std::string text;
    return ReadText(folder / "state.txt", text) && ParseStateText(text, state);
}

bool ParseStateText(const std::string& text, SensorStateFile& state) {
    std::string first;
    SensorStateFile parsed;
    bool haveGeneration = false, havePlugged = false;
    for (const auto& [key, value] : SplitLines(text, first)) {
        uint32_t flag = 0;
        bool ok = true;
        if (key == "plugged") {
            ok = ParseNumber(value, flag) && flag <= 1;
            parsed.plugged = flag == 1;
            havePlugged = ok;
        } else if (key == "generation") {
            ok = haveGeneration = ParseNumber(value, parsed.generation);
        } else if (key == "imagerId") {
            ok = ParseNumber(value, parsed.imagerId);
        } else if (key == "legacy") {
            ok = ParseNumber(value, flag) && flag <= 1;
            parsed.legacy = flag == 1;
        } else if (key == "version") {
            ok = ParseVersion(value, parsed.version);
        } else if (key == "faultSerial") {
            ok = ParseNumber(value, parsed.faultSerial);
        } else if (key == "fault") {
            const auto fault = ParseFault(value);
            ok = fault.has_value();
            if (ok) {
                parsed.faults.push_back(*fault);
            }
        }
        if (!ok) {
            return false;
        }
    }
    if (first != kStateHeader || !havePlugged || !haveGeneration) {
        return false;
    }
    state = std::move(parsed);
    return true;
}

bool WriteStateFile(const fs::path& folder, const SensorStateFile& state) {
    std::string text = std::string(kStateHeader) + "\n";
    text += "plugged=" + std::to_string(state.plugged ? 1 : 0) + "\n";
    text += "generation=" + std::to_string(state.generation) + "\n";
    text += "imagerId=" + std::to_string(state.imagerId) + "\n";
    text += "legacy=" + std::to_string(state.legacy ? 1 : 0) + "\n";
    text += "version=" + std::to_string(state.version[0]) + "." + std::to_string(state.version[1]) +
            "." + std::to_string(state.version[2]) + "\n";
    text += "faultSerial=" + std::to_string(state.faultSerial) + "\n";
    for (const InjectedFault& fault : state.faults) {
        text += "fault=" + FormatFault(fault) + "\n";
    }
    return WriteText(folder / "state.txt", text);
}

bool ParseExposureText(const std::string& text, ExposureFile& exposure) {
    ExposureFile parsed;
    if (!ParseCounterText(text, "qorsim-exposure 1", parsed.count, &parsed.seed)) {
        return false;
    }
    exposure = parsed;
    return true;
}

bool ReadExposureFile(const fs::path& folder, ExposureFile& exposure) {
    std::string text;
    return ReadText(folder / "exposure.txt", text) && ParseExposureText(text, exposure);
}

bool WriteExposureFile(const fs::path& folder, const ExposureFile& exposure) {
    return WriteText(folder / "exposure.txt",
                     "qorsim-exposure 1\ncount=" + std::to_string(exposure.count) +
                         "\nseed=" + std::to_string(exposure.seed) + "\n");
}

bool ParseConsumedText(const std::string& text, uint64_t& count) {
    uint64_t parsed = 0;
    if (!ParseCounterText(text, "qorsim-consumed 1", parsed, nullptr)) {
        return false;
    }
    count = parsed;
    return true;
}

bool ReadConsumedFile(const fs::path& folder, uint64_t& count) {
    std::string text;
    return ReadText(folder / "consumed.txt", text) && ParseConsumedText(text, count);
}

bool WriteConsumedFile(const fs::path& folder, uint64_t count) {
    return WriteText(folder / "consumed.txt",
                     "qorsim-consumed 1\ncount=" + std::to_string(count) + "\n");
}

bool ReadFlashFile(const fs::path& folder, std::vector<uint8_t>& flash) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(folder / "flash.bin", bytes, kFlashBytes) || bytes.size() != kFlashBytes) {
        return false;
    }
    flash = std::move(bytes);
    return true;
}

bool WriteFlashFile(const fs::path& folder, const std::vector<uint8_t>& flash) {
    return flash.size() == kFlashBytes &&
           WriteFileAtomically(folder / "flash.bin", flash.data(), flash.size());
}

namespace {
std::atomic<uint64_t> g_directoryWrites{0};
} // namespace

uint64_t DirectoryWritesInThisProcess() {
    return g_directoryWrites.load();
}

bool WriteFileAtomically(const fs::path& target, const void* data, size_t size) {
    static std::atomic<uint32_t> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path temp = target;
    temp += ".tmp" + std::to_string(ticks) + "-" + std::to_string(counter++) + "-" +
            std::to_string(reinterpret_cast<uintptr_t>(&counter) & 0xFFFF);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            return false;
        }
    }
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        std::error_code ec;
        fs::rename(temp, target, ec);
        if (!ec) {
            ++g_directoryWrites;
            return true;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
}

bool ReadWholeFile(const fs::path& path, std::vector<uint8_t>& bytes, size_t maxBytes) {
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::vector<uint8_t> data;
            char chunk[65536];
            while (in) {
                in.read(chunk, sizeof chunk);
                const auto got = static_cast<size_t>(in.gcount());
                if (data.size() + got > maxBytes) {
                    return false;
                }
                data.insert(data.end(), chunk, chunk + got);
            }
            if (in.bad()) {
                return false;
            }
            bytes = std::move(data);
            return true;
        }
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            return false; // really missing: no point in waiting
        }
        std::this_thread::sleep_for(kRetryPause);
    }
    return false;
}

} // namespace qor::sim
