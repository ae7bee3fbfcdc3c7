// Where the Wine tests of the source find it (QOR_SOURCE_UNDER_TEST, else beside the test
// program), and "InstalPath", which they point at a folder of their own and restore.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

namespace source_under_test {

inline constexpr wchar_t kSuiteKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";

inline std::wstring SourcePath() {
    wchar_t path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"QOR_SOURCE_UNDER_TEST", path, MAX_PATH) > 0) return path;
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *(wcsrchr(path, L'\\') + 1) = 0;
    return std::wstring(path) + L"QORSRC.ds";
}

inline std::wstring ReadInstalPath() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKey, L"InstalPath", RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

inline void WriteInstalPath(const std::wstring& path) {
    HKEY key;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, kSuiteKey, &key) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

}  // namespace source_under_test
