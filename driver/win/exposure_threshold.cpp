// The under-exposure threshold from the registry.
#include "driver/win/exposure_threshold.h"

#include <windows.h>

namespace {
const wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging Corp.\\QOR CD\\5.5.0";
const wchar_t kValue[] = L"Exposure Level";
constexpr DWORD kDefaultThreshold = 1023;

uint32_t ReadValue(HKEY key) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    const LONG read =
        RegQueryValueExW(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value ? value
                                                                             : kDefaultThreshold;
}

void CreateWithDefault() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const DWORD value = kDefaultThreshold;
        RegSetValueExW(key, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
}

}  // namespace

uint32_t ReadExposureThreshold() {
    HKEY key = nullptr;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WRITE, &key);
    if (opened == ERROR_SUCCESS) {
        return ReadValue(key);
    }
    // A process without administrator rights may read the key but not write it.
    if (opened != ERROR_FILE_NOT_FOUND &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        return ReadValue(key);
    }
    CreateWithDefault();
    return kDefaultThreshold;
}
