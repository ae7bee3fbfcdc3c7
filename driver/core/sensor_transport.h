// USB transport of the driver library: enumeration and opening of sensors, the simple command
// exchange, the status query, and the windowed image and flash transfers, all through DeviceIo.
#pragma once

#include "driver/core/calibration_record.h"
#include "driver/core/device_io.h"
#include "driver/core/device_table.h"
#include "driver/core/sensor_commands.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qor {

// What a failing entry point leaves for GetKelvoError: each failing call sets the one cause of
// its failure; nothing clears it (a caller reads it right after the call that returned 0).
inline constexpr int32_t ErrInvalidDevice = 4099;  // the device handle was 0 or -1
inline constexpr int32_t ErrNoSensor = 4100;       // no sensor in that slot, or it did not open
inline constexpr int32_t ErrNotInitialised = 4101; // no calibration loaded: open the sensor first
inline constexpr int32_t ErrTimeout = 4102;        // the sensor did not answer a command in time
inline constexpr int32_t ErrBufferTooSmall = 4103; // a buffer missing, negative or too small
inline constexpr int32_t ErrReadoutFailed = 4104;  // the image transfer failed: arm again
inline constexpr int32_t ErrNoImageYet = 4105;     // no captured image on the sensor yet: poll on
inline constexpr int32_t ErrNoSimulator = 4106;    // QOR_SENSOR_SIMULATOR is set, qorsim.dll missing

// Where the Windows shell joins in; every hook may be left empty (natively they are no-ops).
struct TransportHooks {
    // A sensor was opened: register the notification window for its handle events.
    std::function<void(DeviceHandle)> registerHandleNotification;
    // Set the caller's device-change event, if one was given.
    std::function<void()> signalDeviceChange;
    // Dispatch one pending window message of the calling thread, if there is one.
    std::function<void()> dispatchPendingMessage;
    // Tests: refuse a working-memory allocation of this many bytes.
    std::function<bool(std::size_t bytes)> refuseAllocation;
};

// The device side of the library state: the way to the sensors, the tables, the hooks and the
// last error. One per library.
struct SensorPort {
    DeviceIo* io = nullptr;
    DeviceRegistry devices;
    TransportHooks hooks;
    std::atomic<int32_t> lastError{0};

    // Handles opened here and not closed yet, oldest first.
    void NoteOpened(DeviceHandle handle);
    void NoteClosed(DeviceHandle handle);
    DeviceHandle NewestOpenHandle() const;

private:
    mutable std::mutex openMutex_;
    std::vector<DeviceHandle> open_;
};

// Zero-filled working memory, or null when it cannot be had (never throws).
std::unique_ptr<uint8_t[]> AllocateWorkingMemory(const SensorPort& port, std::size_t bytes);

// Lists the present sensor interfaces into EnumeratedPaths; at most eight are stored and the
// count returned is at most eight. 0 when the list cannot be obtained.
int32_t EnumerateDevices(SensorPort& port);
// Opens the sensor of the EnumeratedPaths entry named by the last character of `name` (a
// non-digit reads as 0; 8 and 9 name no entry and are refused). Records the handle, lets the
// shell register its notifications, exchanges CmdHello. 0 on failure.
DeviceHandle OpenDevice(SensorPort& port, const char* name);
// Closes a handle opened by OpenDevice. The DeviceTable keeps the value until removal.
void CloseDevice(SensorPort& port, DeviceHandle device);

// Command block, then its reply of `replyLength` bytes (into `reply` when given, at least
// replyLength bytes). 0; for CmdGetStatus 1 when the block could not be sent (no reply read).
int32_t SendSimpleCommand(SensorPort& port, DeviceHandle device, const CommandBlock& block,
                          uint32_t replyLength, uint8_t* reply = nullptr);
// The same exchange, telling whether the block itself was sent (for commands whose failure the
// caller must report, such as arming).
bool SendCommand(SensorPort& port, DeviceHandle device, const CommandBlock& block,
                 uint32_t replyLength, uint8_t* reply = nullptr);
// CmdSetSensorParams from the calibration (defaults while none is loaded).
void SendSensorParams(SensorPort& port, DeviceHandle device, const Calibration& calibration);
// CmdGetStatus: 1 when the block could not be sent, else 0. The status byte is written into
// `status` only when the reply's length byte is exactly 4; a short, long or missing reply leaves
// it as the caller preset it.
int32_t QueryCaptureStatus(SensorPort& port, DeviceHandle device, int32_t& status);

// One image window of at most 16384 pixels at a pixel offset; 0 success, 1 failure (any failed
// transfer ends the window at once).
int32_t ReadImageWindow(SensorPort& port, DeviceHandle device, uint32_t pixelOffset,
                        uint32_t pixelCount, int32_t* destination);
// A frame of `pixelCount` pixels in windows of 16384; stops at the first failed window (1).
int32_t ReadImagePixels(SensorPort& port, DeviceHandle device, int32_t pixelCount,
                        int32_t* destination);
// One flash window of at most 32768 bytes, widened to one int32 per byte. Always 0: every step
// runs even after a failure, and a window that cannot be staged is skipped.
int32_t ReadFlashWindow(SensorPort& port, DeviceHandle device, uint32_t flashOffset,
                        uint32_t byteCount, int32_t* destination);
// One flash window written from the low bytes of `source`. Always 0, as ReadFlashWindow.
int32_t WriteFlashWindow(SensorPort& port, DeviceHandle device, uint32_t flashOffset,
                         uint32_t byteCount, const int32_t* source);

// First version byte of the CmdGetVersion exchange with the most recently opened sensor that is
// still open; -1 when there is none or the exchange fails.
int32_t GetLowLevelDriverVer(SensorPort& port);

} // namespace qor
