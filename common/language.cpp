// CLanguage: language choice from the Orbel table and string reading. Records come from a file
// anyone can edit, so each is read defensively: the name must be terminated inside its field and
// be a plain file name, and the identifier count is limited to the field.
#include "common/language.h"

#include "common/core/log_file.h"

#include <cwchar>
#include <string>

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 names are read as wide text");

// The record's name as wide text; it is not necessarily terminated.
const wchar_t* NameField(const LanguageInfoStruct& record) {
    return reinterpret_cast<const wchar_t*>(record.szName);
}

// The text in the ANSI code page, for the log.
std::string Narrow(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

// The record's name when it is terminated inside its field, not empty, and names a file in the
// folder it is looked up in (no separators, drive or parent references); otherwise null.
const wchar_t* UsableName(const LanguageInfoStruct& record) {
    const wchar_t* name = NameField(record);
    const size_t length = wcsnlen(name, kLanguageNameChars);
    if (length == 0 || length == static_cast<size_t>(kLanguageNameChars) ||
        wcspbrk(name, L"\\/:") != nullptr || wcscmp(name, L"..") == 0) {
        TheLogFile().Write(LOG_WARN, "CLanguage::LoadLanguage Invalid language name in the table!\n");
        return nullptr;
    }
    return name;
}

// `primaryOnly`: any sublanguage of the same language (0x0809 and 0x0009 for 0x0409's English).
bool ListsId(const LanguageInfoStruct& record, WORD languageId, bool primaryOnly) {
    constexpr WORD kPrimaryMask = 0x03FF;
    const int count = record.nLangIds < 0 ? 0 : (record.nLangIds > kLanguageMaxIds ? kLanguageMaxIds : record.nLangIds);
    for (int i = 0; i < count; ++i) {
        const WORD listed = record.wLangIds[i];
        if (primaryOnly ? (listed & kPrimaryMask) == (languageId & kPrimaryMask) : listed == languageId) {
            return true;
        }
    }
    return false;
}

// Copies `text` into a fixed field; false (and an empty field) when it does not fit.
template <size_t N>
bool CopyText(wchar_t (&field)[N], const wchar_t* text) {
    const size_t length = wcslen(text);
    if (length >= N) {
        field[0] = L'\0';
        return false;
    }
    wmemcpy(field, text, length + 1);
    return true;
}

}  // namespace

CLanguage::CLanguage()
    : m_nLanguages(0), m_szBasePath{L'.', L'/', L'\0'}, m_szCurrentLanguage{},
      m_szDefaultLanguage{}, m_hLanguageDll(nullptr), m_hDefaultInstance(nullptr), m_szDllPath{} {}

CLanguage::~CLanguage() { ReleaseLanguage(); }

int CLanguage::Init(const char* tableFile, const wchar_t* defaultLanguage, HMODULE ownModule,
                    const wchar_t* basePath, const OrbelLanguageCalls& orbel) {
    m_hDefaultInstance = ownModule;
    if (tableFile == nullptr || defaultLanguage == nullptr || basePath == nullptr ||
        orbel.getSupportedLang == nullptr || orbel.freeMem == nullptr) {
        TheLogFile().Write(LOG_WARN, "CLanguage::Init Invalid Pointers\n");
        return 0;
    }
    CopyText(m_szDefaultLanguage, defaultLanguage);
    if (!CopyText(m_szBasePath, basePath)) {
        TheLogFile().Write(LOG_WARN, "CLanguage::Init Base path too long: install the QOR driver "
                                     "suite in a shorter folder!\n");
        return 0;
    }
    char path[MAX_PATH];
    const int bytes = WideCharToMultiByte(CP_ACP, 0, m_szBasePath, -1, path, MAX_PATH, nullptr, nullptr);
    if (bytes <= 0 || static_cast<size_t>(bytes) - 1 + strlen(tableFile) >= MAX_PATH) {
        TheLogFile().Write(LOG_WARN, "CLanguage::Init Path of the language table too long: install "
                                     "the QOR driver suite in a shorter folder!\n");
        return 0;
    }
    strcat(path, tableFile);
    if (m_bTableHeld) {
        return 0;
    }
    int count = 0;
    LanguageInfoStruct* table = nullptr;
    const int result = orbel.getSupportedLang(path, &count, &table);
    if (result == 0 || count < 0 || (count > 0 && table == nullptr)) {
        if (table != nullptr) {
            orbel.freeMem(table);
        }
        return 0;
    }
    // A copy of our own: the library that allocated the table may go away.
    m_languages.assign(table, table + count);
    m_nLanguages = count;
    m_bTableHeld = true;
    if (table != nullptr) {
        orbel.freeMem(table);
    }
    return result;
}

int CLanguage::LoadLanguage(WORD languageId) {
    ReleaseLanguage();
    if (!m_bTableHeld) {
        TheLogFile().Write(LOG_WARN, "CLanguage::LoadLanguage Invalid Sequence!\n");
        ClearChoice();
        return 0;
    }
    // The exact identifier first, then the same language of another country (a program saying
    // only "English" gets the English the table lists, not a failure).
    for (const bool primaryOnly : {false, true}) {
        for (int i = 0; i < m_nLanguages; ++i) {
            const LanguageInfoStruct& record = m_languages[static_cast<size_t>(i)];
            if (!ListsId(record, languageId, primaryOnly)) {
                continue;
            }
            const wchar_t* name = UsableName(record);
            if (name == nullptr) {
                continue;
            }
            if (Choose(m_szBasePath, name) != 0) {
                return 1;
            }
        }
    }
    ClearChoice();
    return 0;
}

int CLanguage::LoadLanguage(const wchar_t* name) {
    ReleaseLanguage();
    if (!m_bTableHeld || name == nullptr) {
        TheLogFile().Write(LOG_WARN, "CLanguage::LoadLanguage Invalid Sequence!\n");
        ClearChoice();
        return 0;
    }
    const wchar_t* found = nullptr;
    for (int i = 0; i < m_nLanguages && found == nullptr; ++i) {
        const LanguageInfoStruct& record = m_languages[static_cast<size_t>(i)];
        if (wcsnlen(NameField(record), kLanguageNameChars) < static_cast<size_t>(kLanguageNameChars) &&
            _wcsicmp(NameField(record), name) == 0) {
            found = UsableName(record);
        }
    }
    // Without the folder: the system's library search order finds the library. (The data source
    // passes only its built-in language, which loads nothing.)
    if (found != nullptr && Choose(L"", found) != 0) {
        return 1;
    }
    ClearChoice();
    return 0;
}

int CLanguage::Choose(const wchar_t* folder, const wchar_t* name) {
    const int written = swprintf(m_szDllPath, MAX_PATH, L"%ls%ls.dll", folder, name);
    if (written < 0 || written >= MAX_PATH) {
        m_szDllPath[0] = L'\0';
        return 0;
    }
    CopyText(m_szCurrentLanguage, name);
    if (_wcsicmp(name, m_szDefaultLanguage) == 0) {
        return 1;
    }
    if (GetFileAttributesW(m_szDllPath) == INVALID_FILE_ATTRIBUTES) {
        TheLogFile().WriteFormat(LOG_WARN, "CLanguage::LoadLanguage Could not find %s!\n",
                                 Narrow(m_szDllPath).c_str());
        return 0;
    }
    m_hLanguageDll = LoadLibraryW(m_szDllPath);
    if (m_hLanguageDll == nullptr) {
        const DWORD error = GetLastError();  // before the path's conversion can change it
        TheLogFile().WriteFormat(
            LOG_WARN, "CLanguage::LoadLanguage LoadLibrary Failed while Loading %s with error code%d!\n",
            Narrow(m_szDllPath).c_str(), static_cast<int>(error));
        return 0;
    }
    return 1;
}

int CLanguage::ReleaseLanguage() {
    if (m_hLanguageDll == nullptr) {
        return 0;
    }
    const BOOL freed = FreeLibrary(m_hLanguageDll);
    m_hLanguageDll = nullptr;
    if (!freed) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "CLanguage::ReleaseLanguage FreeLibrary failed with error code = %d!\n",
                                 static_cast<int>(GetLastError()));
    }
    ClearChoice();
    return freed;
}

int CLanguage::ReadStringFromDLL(UINT id, wchar_t* buffer, int size) {
    // A size of 0 would make LoadStringW store a pointer into the buffer instead of text.
    if (buffer == nullptr || size < 1) {
        TheLogFile().Write(LOG_WARN, "CLanguage::ReadStringFromDLL Invalid Pointer!\n");
        return 0;
    }
    const HMODULE module = m_hLanguageDll != nullptr ? m_hLanguageDll : m_hDefaultInstance;
    SetLastError(ERROR_SUCCESS);
    if (LoadStringW(module, id, buffer, size) != 0) {
        return 1;
    }
    TheLogFile().WriteFormat(LOG_WARN,
                             "CLanguage::ReadStringFromDLL LoadString failed with error code = %d!\n",
                             static_cast<int>(GetLastError()));
    return 0;
}

void CLanguage::ClearChoice() {
    m_szDllPath[0] = L'\0';
    m_szCurrentLanguage[0] = L'\0';
}
