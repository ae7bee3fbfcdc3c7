// Orbel.dll: the language table and the image information file, read and written with the
// platform's profile functions; what the lines mean is decided in core/.
#define ORBEL_BUILDING_DLL
#include <windows.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "external/orbel/core/image_info_file.h"
#include "external/orbel/core/language_table.h"
#include "external/orbel/orbel.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

// Paths come in the ANSI code page; the profile functions are called in their wide form so that
// language names keep every character.
std::wstring WidePath(const char* path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 1) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The lines of one section, in file order. Larger buffers until the section fits (the call
// answers size - 2 when it was cut), up to 4 Mi characters.
std::vector<orbel::IniLine> ReadSection(const wchar_t* section, const std::wstring& path) {
    for (DWORD size = 16384; size <= (4u << 20); size *= 4) {
        std::vector<wchar_t> block(size);
        const DWORD used = GetPrivateProfileSectionW(section, block.data(), size, path.c_str());
        if (used + 2 < size) {
            return orbel::SplitSectionBlock(reinterpret_cast<const char16_t*>(block.data()),
                                            used + 1);
        }
    }
    return {};
}

// Opens the file for reading while other programs may still read and write it, and reads it
// through once, so that a file held open without sharing or failing to read is told apart from
// a missing one. While the guard stays open, no program can take the file for itself.
class ReadGuard {
public:
    explicit ReadGuard(const std::wstring& path)
        : m_file(CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~ReadGuard() {
        if (m_file != INVALID_HANDLE_VALUE) {
            CloseHandle(m_file);
        }
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

    // False with the thread's last error set by the failed open (a folder of that name gives
    // ERROR_ACCESS_DENIED) or read.
    bool ReadThrough() const {
        if (m_file == INVALID_HANDLE_VALUE) {
            return false;
        }
        char block[65536];
        DWORD read = 0;
        do {
            if (!ReadFile(m_file, block, sizeof block, &read, nullptr)) {
                return false;
            }
        } while (read != 0);
        return true;
    }

private:
    HANDLE m_file;
};

const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

} // namespace

ORBEL_API int GetSupportedLang(const char* path, int* count, LanguageInfoStruct** table) {
    try {
        if (path == nullptr || count == nullptr || table == nullptr) {
            return 0;
        }
        const std::wstring widePath = WidePath(path);
        if (!FileExists(widePath)) {
            return 0;
        }
        const auto records =
            orbel::ParseLanguageTable(ReadSection(Wide(orbel::kLanguagesSection), widePath));
        LanguageInfoStruct* copy = nullptr;
        if (!records.empty()) {
            copy = new LanguageInfoStruct[records.size()];
            std::memcpy(copy, records.data(), records.size() * sizeof(LanguageInfoStruct));
        }
        *table = copy;
        *count = static_cast<int>(records.size());
        return 1;
    } catch (...) {
        return 0;
    }
}

ORBEL_API void FreeMem(LanguageInfoStruct* table) {
    delete[] table;
}

ORBEL_API int GetImageInfo(const char* path, ImageInfoStuct** entries, int* count) {
    try {
        if (path == nullptr || entries == nullptr || count == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const std::wstring widePath = WidePath(path);
        if (widePath.empty()) {
            SetLastError(ERROR_INVALID_NAME);
            return 0;
        }
        // The profile functions read an unreadable file as an empty one.
        const ReadGuard guard(widePath);
        if (!guard.ReadThrough()) {
            return 0;
        }
        const auto parsed =
            orbel::ParseImageInfo(ReadSection(Wide(orbel::kImageInfoSection), widePath));
        ImageInfoStuct* copy = nullptr;
        if (!parsed.empty()) {
            copy = new ImageInfoStuct[parsed.size()];
            for (size_t i = 0; i < parsed.size(); ++i) {
                copy[i] = parsed[i].info;
            }
        }
        *entries = copy;
        *count = static_cast<int>(parsed.size());
        return 1;
    } catch (...) {
        SetLastError(ERROR_OUTOFMEMORY);
        return 0;
    }
}

ORBEL_API void FreeMem(ImageInfoStuct* entries) {
    delete[] entries;
}

ORBEL_API int StoreImageInfo(const char* path, ImageDataStruct** records, int count) {
    try {
        if (path == nullptr || count < 0 || count > 64 || (count > 0 && records == nullptr)) {
            return 0;
        }
        for (int i = 0; i < count; ++i) {
            if (records[i] == nullptr) {
                return 0;
            }
        }
        const std::u16string block = orbel::ImageInfoBlock(records, count);
        // One call replaces the whole section, so the file never lists a mix of old and new.
        return WritePrivateProfileSectionW(Wide(orbel::kImageInfoSection), Wide(block.c_str()),
                                           WidePath(path).c_str()) != 0;
    } catch (...) {
        return 0;
    }
}

ORBEL_API int UpdateSelectionStatus(const char* path, int index, int selected) {
    try {
        if (path == nullptr || index < 0) {
            return 0;
        }
        const std::wstring widePath = WidePath(path);
        if (!FileExists(widePath)) {
            return 0;
        }
        // The index counts valid entries in order, as GetImageInfo handed them out.
        auto entries = orbel::ParseImageInfo(ReadSection(Wide(orbel::kImageInfoSection), widePath));
        if (static_cast<size_t>(index) >= entries.size()) {
            return 0;
        }
        orbel::InfoEntry& entry = entries[static_cast<size_t>(index)];
        entry.info.bSelected = selected != 0 ? 1 : 0;
        const std::u16string key = orbel::ImageInfoKey(entry.lineNumber);
        const std::u16string value = orbel::ImageInfoValue(entry.info);
        return WritePrivateProfileStringW(Wide(orbel::kImageInfoSection), Wide(key.c_str()),
                                          Wide(value.c_str()), widePath.c_str()) != 0;
    } catch (...) {
        return 0;
    }
}
