// The under-exposure threshold from the registry.
#include "driver/win/exposure_threshold.h"

#include <windows.h>

namespace {
const wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging Corp.\\QOR CD\\5.5.0";
const wchar_t kValue[] = L"Exposure Level";
constexpr DWORD kDefaultThreshold = 1023;
}  // namespace

uint32_t ReadExposureThreshold() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
        DWORD value = 0;
        DWORD size = sizeof value;
        DWORD type = 0;
        const LONG read = RegQueryValueExW(key, kValue, nullptr, &type,
                                           reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return read == ERROR_SUCCESS && size == sizeof value ? value : kDefaultThreshold;
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        const DWORD value = kDefaultThreshold;
        RegSetValueExW(key, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    return kDefaultThreshold;
}
