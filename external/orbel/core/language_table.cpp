#include "external/orbel/core/language_table.h"

#include <algorithm>

namespace orbel {

namespace {

bool IsValidName(const std::u16string& name) {
    return !name.empty() && name.size() < kLanguageNameChars &&
           std::none_of(name.begin(), name.end(), [](char16_t c) {
               return c < u' ' ||
                      std::u16string_view(u"\\/:.;*?\"<>|").find(c) != std::u16string_view::npos;
           });
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// A language identifier 1..FFFF; 0 for anything else.
uint16_t ParseIdentifier(std::u16string_view text) {
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) {
        return 0;
    }
    uint32_t value = 0;
    for (char16_t c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return 0;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return static_cast<uint16_t>(value);
}

} // namespace

std::vector<LanguageInfoStruct> ParseLanguageTable(const std::vector<IniLine>& lines) {
    std::vector<LanguageInfoStruct> table;
    for (const IniLine& line : lines) {
        if (table.size() >= kMaxLanguages) {
            break;
        }
        if (!IsValidName(line.key)) {
            continue;
        }
        LanguageInfoStruct record{};
        std::copy(line.key.begin(), line.key.end(), record.szName);
        std::u16string_view rest(line.value);
        while (!rest.empty() && record.nLangIds < kLanguageMaxIds) {
            const size_t end = rest.find_first_of(u", \t");
            const uint16_t id = ParseIdentifier(rest.substr(0, end));
            if (id != 0) {
                record.wLangIds[record.nLangIds++] = id;
            }
            rest.remove_prefix(end == rest.npos ? rest.size() : end + 1);
        }
        table.push_back(record);
    }
    return table;
}

} // namespace orbel
