// "Language.ini", the languages on offer: one section [Languages], one line per language in the
// order of preference, its name (also the base name of its library "<name>.dll") and the
// Windows language identifiers that select it, in hexadecimal:
//     english=0409,0809,0C09
//     german=0407,0807,0C07
#pragma once

#include <vector>

#include "common/core/language_info.h"
#include "external/orbel/core/ini_lines.h"

namespace orbel {

inline constexpr char16_t kLanguagesSection[] = u"Languages";
inline constexpr size_t kMaxLanguages = 64;

// One record per valid line, at most kMaxLanguages. A name must have 1 to 14 characters and
// no path, drive or wildcard characters (\ / : . * ? " < > |) and no ';' (a comment), since it
// becomes a library's file name; a line with such a name is skipped. Identifiers (1 to FFFF,
// optional "0x", separated by commas or blanks) beyond the 21st and unreadable ones are left out.
std::vector<LanguageInfoStruct> ParseLanguageTable(const std::vector<IniLine>& lines);

} // namespace orbel
