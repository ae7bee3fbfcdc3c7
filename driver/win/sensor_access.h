// What the exports share on their way to the sensor: initialisation, shutdown, and the services
// (threshold, enhancement, message boxes) that the acquisition core is given.
#pragma once

#include <windows.h>

#include "driver/core/acquisition.h"

enum class InitKind { Raw, Standard, Legacy };

// Opens the named sensor; Standard and Legacy also load its calibration with that loader and send
// the sensor settings. The handle, or null.
HANDLE InitialiseSensor(const char* deviceName, InitKind kind);
void CloseSensor(HANDLE device);

// The under-exposure threshold, the enhancement of qorimg.dll and the self-closing warning box.
const qor::AcquisitionServices& AcquisitionServices();
// Message boxes for the calibration loaders and the cache.
void ShowNoticeBox(const qor::UserNotice& notice);
