// The lines of one INI section as the platform's profile functions hand them out ("key=value",
// in file order), and the number formats the information library writes into them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orbel {

struct IniLine {
    std::u16string key;
    std::u16string value;
};

// Splits a section block (lines ended by NUL, the block by a second NUL, as
// GetPrivateProfileSectionW fills it) into key/value lines; keys and values are trimmed of
// blanks, lines without '=' are skipped. Reads at most `size` characters.
std::vector<IniLine> SplitSectionBlock(const char16_t* block, size_t size);

// A decimal number of at most 10 digits that fits 0..max; nothing for anything else.
std::optional<int32_t> ParseDecimal(std::u16string_view text, int32_t max);

std::u16string ToU16(std::string_view ascii);

} // namespace orbel
