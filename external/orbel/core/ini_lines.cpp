#include "external/orbel/core/ini_lines.h"

namespace orbel {

namespace {

std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t' || text.back() == u'\r')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::vector<IniLine> SplitSectionBlock(const char16_t* block, size_t size) {
    std::vector<IniLine> lines;
    if (block == nullptr) {
        return lines;
    }
    size_t start = 0;
    while (start < size && block[start] != u'\0') {
        size_t end = start;
        while (end < size && block[end] != u'\0') {
            ++end;
        }
        const std::u16string_view line(block + start, end - start);
        const size_t equals = line.find(u'=');
        if (equals != std::u16string_view::npos) {
            lines.push_back({std::u16string(Trim(line.substr(0, equals))),
                             std::u16string(Trim(line.substr(equals + 1)))});
        }
        start = end + 1;
    }
    return lines;
}

std::optional<int32_t> ParseDecimal(std::u16string_view text, int32_t max) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (c - u'0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

std::u16string ToU16(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

} // namespace orbel
