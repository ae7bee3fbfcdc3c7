// "Test Mode": the bitmap ./TestImage.bmp, which QOR APP stores as if the sensor had taken it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct TestImageFile {
    uint8_t* bytes = nullptr;  // std::malloc'd, a valid 8-bit bitmap; null on failure
    size_t size = 0;
    UINT errorText = 0;        // on failure the string id to show: 102 unreadable, 103 not valid
};

// Reads and checks ./TestImage.bmp; what goes wrong is logged.
TestImageFile ReadTestImageFile();
