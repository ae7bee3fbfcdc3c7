// LanguageInfoStruct: one record of the language table that the Orbel library reads from
// "Language.ini" and hands to CLanguage. The layout is fixed (76 bytes) because the record crosses
// a DLL boundary; every field is fixed-width so both builds and both pointer widths agree.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kLanguageNameChars = 15;  // 14 characters and the terminator
constexpr int kLanguageMaxIds = 21;

struct LanguageInfoStruct {
    char16_t szName[kLanguageNameChars];  // also the library's base name
    uint16_t wLangIds[kLanguageMaxIds];   // Windows language identifiers that select it
    int32_t nLangIds;                     // identifiers used
};

static_assert(sizeof(LanguageInfoStruct) == 76);
static_assert(offsetof(LanguageInfoStruct, wLangIds) == 30);
static_assert(offsetof(LanguageInfoStruct, nLangIds) == 72);
