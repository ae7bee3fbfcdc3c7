// The under-exposure threshold from the registry value "Exposure Level".
#pragma once

#include <cstdint>

// Reads HKLM "SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0" "Exposure Level". When the key does
// not open it is created with 1023, and 1023 is the threshold (also when creating fails). A key
// without a readable 4-byte value also gives 1023.
uint32_t ReadExposureThreshold();
