#include "common/suite_key.h"

#include <cwchar>

std::vector<REGSAM> SuiteRegistryViews() {
    if constexpr (sizeof(void*) == 8) return {0, KEY_WOW64_32KEY};
    return {0};
}

bool OpenSuiteKey(HKEY* key) {
    for (const REGSAM view : SuiteRegistryViews()) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", 0, KEY_QUERY_VALUE | view, key) ==
            ERROR_SUCCESS) {
            return true;
        }
    }
    return false;
}

bool ReadInstalPath(wchar_t* folder, DWORD capacity) {
    folder[0] = 0;
    HKEY key = nullptr;
    if (!OpenSuiteKey(&key)) return false;
    DWORD size = (capacity - 1) * sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, L"InstalPath", nullptr, &type, reinterpret_cast<BYTE*>(folder), &size);
    RegCloseKey(key);
    folder[capacity - 1] = 0;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) folder[0] = 0;
    size_t length = wcslen(folder);
    while (length > 0 && (folder[length - 1] == L'\\' || folder[length - 1] == L'/')) folder[--length] = 0;
    return folder[0] != 0;
}
