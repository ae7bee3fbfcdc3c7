// The two entry points of qorsim.dll, the simulated-sensor backend that Qor.dll loads only when
// QOR_SENSOR_SIMULATOR is set and the file lies beside it. The object is created and destroyed
// inside qorsim.dll; every method catches its own exceptions, so none crosses the boundary.
#pragma once

#include <windows.h>

#include "driver/core/device_io.h"

#define QORSIM_API extern "C" __declspec(dllexport)

// The device access of the simulator folder named by QOR_SENSOR_SIMULATOR; null when the
// variable is not set or the folder cannot be used.
using QorSimCreateDeviceIoFn = qor::DeviceIo*(WINAPI*)();
using QorSimDestroyDeviceIoFn = void(WINAPI*)(qor::DeviceIo*);
