#include "app/core/delivered_record.h"

#include <cstdio>

#include "app/core/image_file_name.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void ParseLine(std::string_view line, DeliveredRecord& record) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.remove_suffix(1);
    }
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return;
    }
    const std::string name(line.substr(0, blank));
    const std::string_view hex = line.substr(blank + 1);
    if (FileNumberOfName(name) < 0 || hex.empty() || hex.size() > 8) {
        return;
    }
    uint32_t crc = 0;
    for (const char c : hex) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return;
        }
        crc = crc << 4 | static_cast<uint32_t>(digit);
    }
    record[name] = crc;
}

} // namespace

DeliveredRecord ParseDeliveredRecord(std::string_view text) {
    DeliveredRecord record;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        ParseLine(text.substr(0, end), record);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return record;
}

std::string FormatDeliveredRecord(const DeliveredRecord& record) {
    std::string text;
    for (const auto& [name, crc] : record) {
        char hex[12];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(crc));
        text += name + " " + hex + "\r\n";
    }
    return text;
}
