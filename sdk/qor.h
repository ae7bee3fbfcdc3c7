/*
 * qor.h - the public interface of the QOR sensor driver library "Qor.dll", version 5.5.0.
 *
 * One header for C and C++ callers (mingw-w64 and Microsoft compilers, 32-bit Windows; it also
 * compiles for 64-bit Windows). Every entry point is __stdcall (WINAPI) and exported under its
 * plain name with a fixed ordinal; link with libqor.a (mingw) or qor.lib (Microsoft's linker) to
 * bind by name, or with libqor_ordinal.a / qor_ordinal.lib to bind by ordinal.
 *
 * Conventions of every entry point:
 *  - a result of 0 means failure, non-zero (usually 1) success; entry points that return a device
 *    handle return 0 on failure. No entry point throws or raises.
 *  - a device handle of 0 or INVALID_HANDLE_VALUE (-1) means "no device"; in demo mode
 *    QorInitSystem returns QOR_DEMO_HANDLE.
 *  - every call that fails leaves its cause (QOR_ERR_..., below) for GetKelvoError(): read it right
 *    after the call that returned 0; nothing clears it.
 *  - message boxes: the library shows a box for a weak exposure (closing itself after 5 s), a
 *    calibration newer than the library and a damaged cache file. A program that runs unattended
 *    sets the environment variable QOR_MESSAGE_BOXES to 0 first (SetEnvironmentVariableA(
 *    "QOR_MESSAGE_BOXES", "0")): then no box is shown and the call goes on as after OK.
 *  - buffers (image, HWInfo, DriverVersion, the device status array) belong to the caller; every
 *    size that goes with an image buffer is in bytes.
 *  - the library keeps one sensor state per process and takes no lock: call it from one thread
 *    at a time.
 *
 * Acquisition, in the order the library expects (see sample/acquire.c for the whole program):
 *
 *     QorSetDemoMode(1);                      optional: synthetic images without a sensor
 *     HANDLE dev = QorInitSystem(0);          open sensor 0, load its calibration; 0: none
 *     QorInitSensor(dev);                     1: the sensor has a calibration
 *     QorGetHWInfo(dev, &info);               geometry and identity
 *     QorGetDriverVersion(&version);
 *     for each image:
 *         QorAcquireImage(dev);               arm; the sensor now waits for the X-ray exposure
 *         do { Sleep(50); QorGetCapStatus(dev, &status); } while (status != 1);
 *         QorGetImgData(dev, buffer, QOR_IMAGE_BUFFER_BYTES);
 *                                             1: a corrected image is in buffer; 0: not yet,
 *                                             keep polling (a short status reply reads as 1)
 *     QorCancelAcquireImage(dev);             only to give up an armed sensor
 *     QorShutDown(dev);
 *
 * The corrected image is width x height int32 values, row-major, first row first, 0..4095 with
 * 0 for the strongest signal.
 *
 * The calls that write the sensor's flash (its calibration) are for service tools only and are
 * declared in qor_service.h.
 */
#ifndef QOR_H
#define QOR_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QORAPI __declspec(dllimport)

/* The library version this header describes (QorGetDriverVersion reports the loaded one). */
#define QOR_VERSION_MAJOR 5
#define QOR_VERSION_MINOR 5
#define QOR_VERSION_BUILD 0
#define QOR_VERSION_STRING "5.5.0"

/* The handle QorInitSystem returns in demo mode. */
#define QOR_DEMO_HANDLE ((HANDLE)(INT_PTR)111)
/* GetKelvoError(): the cause of the last failing call, one code per cause. */
#define QOR_ERR_INVALID_DEVICE 4099   /* the device handle was 0 or -1 */
#define QOR_ERR_NO_SENSOR 4100        /* no sensor in that slot, or it did not open */
#define QOR_ERR_NOT_INITIALISED 4101  /* no calibration loaded: call QorInitSystem first */
#define QOR_ERR_TIMEOUT 4102          /* the sensor did not answer a command (unplugged?) */
#define QOR_ERR_BUFFER_TOO_SMALL 4103 /* a buffer or result pointer missing, or too small */
#define QOR_ERR_READOUT_FAILED 4104   /* the image transfer failed: arm again */
#define QOR_ERR_NO_IMAGE_YET 4105     /* QorGetImgData: no captured image yet, poll on */
#define QOR_ERR_NO_SIMULATOR 4106     /* QOR_SENSOR_SIMULATOR asks for the simulated sensors
                                         (docs/sdk.md) but qorsim.dll is not beside Qor.dll */
/* The image buffer the acquisition application passes; it holds every sensor's largest frame
   (1201 x 861 values of 4 bytes). */
#define QOR_IMAGE_BUFFER_BYTES 4194304
/* Size of the sensor's calibration image (flash and cache file). */
#define QOR_FLASH_BYTES 0x200000

/* Messages of the timer acquisition (AcquireImage, AcquireTestImage) to the caller's window. */
#define QOR_MSG_IMAGE_READY (WM_APP + 200)     /* lParam: pixel buffer of a test image, or 0 */
#define QOR_MSG_STATUS_FAILED (WM_APP + 201)   /* the status command failed; polling stopped */
#define QOR_MSG_ACQUIRE_TIMEOUT (WM_APP + 202) /* no image within 15 minutes; polling stopped */

#include <pshpack4.h>
/* Sensor geometry and identity, 16 bytes. */
typedef struct HWInfo {
    INT32 width;      /* pixels per row */
    INT32 height;     /* rows */
    INT32 sensorType; /* 1..4: bits 20..23 of imagerId */
    INT32 imagerId;   /* the sensor's identity (serial number with the type in bits 20..23) */
} HWInfo;

/* The library's version, 12 bytes: 5, 5, 0. */
typedef struct DriverVersion {
    INT32 major;
    INT32 minor;
    INT32 build;
} DriverVersion;
#include <poppack.h>

/* The sizes are part of the interface (a compile error here means a packing option changed them). */
typedef char QOR_HWInfo_is_16_bytes[sizeof(HWInfo) == 16 ? 1 : -1];
typedef char QOR_DriverVersion_is_12_bytes[sizeof(DriverVersion) == 12 ? 1 : -1];

/* ---- The current set: what new programs call ------------------------------------------------ */

/* Ordinal 42. Demo mode on (non-zero) or off, taking effect at the next QorInitSystem: synthetic
   images (rings, bars, steps) without a sensor. Returns 1. */
QORAPI INT32 WINAPI QorSetDemoMode(INT32 on);

/* Ordinal 20. Opens sensor `index` (0..7; the eight sensor slots), loads its calibration (from the
   cache file "<imagerId>[s].dat" in the current directory, else from the sensor's flash, which
   then writes that file) and sends its settings. The first call of a process starts the
   library's device-change thread and waits up to 1 s for the first enumeration. Returns the
   device handle, QOR_DEMO_HANDLE in demo mode, 0 when no sensor could be opened
   (QOR_ERR_NO_SENSOR, or QOR_ERR_NO_SIMULATOR). */
QORAPI HANDLE WINAPI QorInitSystem(INT32 index);

/* Ordinal 26. Call after QorInitSystem: 1 when a calibration identity is loaded (always in demo
   mode); 0 when not (QOR_ERR_NOT_INITIALISED), or for a device of 0 (QOR_ERR_INVALID_DEVICE).
   No sensor traffic. */
QORAPI INT32 WINAPI QorInitSensor(HANDLE device);

/* Ordinal 25. Fills *info with geometry and identity of the loaded calibration (1201 x 861 in
   demo mode). Returns 1; 0 with *info untouched when no calibration is loaded
   (QOR_ERR_NOT_INITIALISED) or `info` is NULL (QOR_ERR_BUFFER_TOO_SMALL). */
QORAPI INT32 WINAPI QorGetHWInfo(HANDLE device, HWInfo* info);

/* Ordinal 30. Fills *version with 5, 5, 0 and returns `version`. */
QORAPI DriverVersion* WINAPI QorGetDriverVersion(DriverVersion* version);

/* Ordinal 21. Arms the sensor: it waits for the exposure and captures the image on its own.
   Returns 1 (also in demo mode); 0 for a device of -1 (QOR_ERR_INVALID_DEVICE), without a
   loaded calibration (QOR_ERR_NOT_INITIALISED) or when the sensor did not take the command
   (QOR_ERR_TIMEOUT). */
QORAPI INT32 WINAPI QorAcquireImage(HANDLE device);

/* Ordinal 22. Poll every 50 ms after QorAcquireImage: *status becomes 1 when a captured image
   waits on the sensor, else 0. Returns 1; 0 when the sensor does not answer (unplugged:
   QOR_ERR_TIMEOUT), the device is 0 or -1 (QOR_ERR_INVALID_DEVICE) or `status` is NULL
   (QOR_ERR_BUFFER_TOO_SMALL). */
QORAPI INT32 WINAPI QorGetCapStatus(HANDLE device, INT32* status);

/* Ordinal 23. Reads the captured image into `buffer` and corrects it (flat field, line repair,
   contrast enhancement, inversion). `bufferBytes` must hold width x height x 4 bytes (pass
   QOR_IMAGE_BUFFER_BYTES). Returns 1 with the image in `buffer`; 0 when the sensor has no image
   yet (QOR_ERR_NO_IMAGE_YET: poll on), the buffer is too small (QOR_ERR_BUFFER_TOO_SMALL), the
   sensor does not answer (QOR_ERR_TIMEOUT) or the read-out failed (QOR_ERR_READOUT_FAILED: arm
   again). An exposure too weak shows a warning box that closes itself after 5 s. */
QORAPI INT32 WINAPI QorGetImgData(HANDLE device, INT32* buffer, INT32 bufferBytes);

/* Ordinal 29. Disarms a sensor armed by QorAcquireImage. Returns 0 on a sensor (information
   only), non-zero in demo mode. */
QORAPI INT32 WINAPI QorCancelAcquireImage(HANDLE device);

/* Ordinal 27. Releases the calibration and closes the device; call once when done. Returns 1. */
QORAPI INT32 WINAPI QorShutDown(HANDLE device);

/* Ordinal 1. Nothing: the sensor ends the exposure by itself. Returns 1. */
QORAPI INT32 WINAPI QorFinishExp(HANDLE device);

/* Ordinal 39. Presence of the eight sensor slots: status[i] = 1 when a sensor is in slot i, else
   0. Pass an array of 8. Returns 1; 0 (nothing written) when the array is not writable. The slots
   are filled by the device-change thread (QorInitSystem or QorInitEventNotification starts it). */
QORAPI INT32 WINAPI QorGetDeviceStatus(INT32* status);

/* Ordinal 38. Starts the device-change thread without opening a sensor; `event` (may be NULL) is
   set at every arrival or removal. Returns 1; 0 when the thread cannot start. */
QORAPI INT32 WINAPI QorInitEventNotification(HANDLE event);

/* Ordinal 34. Opens sensor `index` without loading a calibration or sending settings (service
   tools: flash dump). Returns the handle or 0. Close it with KelvoShutDown. */
QORAPI HANDLE WINAPI QorInitRawSystem(INT32 index);

/* Ordinal 37. Opens sensor 0 with the legacy calibration reading; `mustBeZero` must be 0.
   Needs the device-change thread started before (QorInitEventNotification). Returns the handle
   or 0. */
QORAPI HANDLE WINAPI NewQorInitSystem(INT32 mustBeZero);

/* Ordinal 19. Opens sensor 0 or 1 (`index` 0 or 1 only) as QorInitSystem does, without demo mode
   and without starting the device-change thread. Returns the handle or 0. */
QORAPI HANDLE WINAPI InitQorSystem(INT32 index);

/* ---- The older set: kept for existing programs ---------------------------------------------- */

/* Ordinal 2. Opens the sensor named "mivonusb-N", loads its calibration and sends its settings
   (needs the device-change thread started before). Returns the handle or 0. */
QORAPI HANDLE WINAPI InitKelvoSystem(const char* deviceName);

/* Ordinal 32. Opens the sensor named "mivonusb-N" only. Returns the handle or 0. */
QORAPI HANDLE WINAPI KelvoInitRawSystem(const char* deviceName);

/* Ordinal 17. QorInitSensor without demo mode. */
QORAPI INT32 WINAPI InitKelvoSensor(HANDLE device);

/* Ordinal 13. QorGetHWInfo without demo mode. */
QORAPI INT32 WINAPI GetKelvoHWInfo(HANDLE device, HWInfo* info);

/* Ordinal 5. The loaded calibration's imagerId: 1048576 before any load, 0 after a failed one. */
QORAPI INT32 WINAPI GetImagerID(void);

/* Ordinal 9. Same as QorGetDriverVersion. */
QORAPI DriverVersion* WINAPI GetDriverVersion(DriverVersion* version);

/* Ordinal 10. The cause of the last failing call (QOR_ERR_...), 0 before any failure. */
QORAPI INT32 WINAPI GetKelvoError(void);

/* Ordinal 14. The sensor firmware's first version byte, or -1 when no open sensor answers. */
QORAPI INT32 WINAPI GetLowLevelDriverVer(void);

/* Ordinal 6. QorAcquireImage without demo mode. */
QORAPI INT32 WINAPI KelvoAcquireImage(HANDLE device);

/* Ordinal 11. Raw status query: *rawStatus receives the sensor's status byte (0 = captured, the
   opposite of QorGetCapStatus). Returns 1; 0 when the command failed or the device is 0 or -1. */
QORAPI INT32 WINAPI GetKelvoCapStatus(HANDLE device, INT32* rawStatus);

/* Ordinal 12. The image-data call behind QorGetImgData (note the argument order): reads and
   corrects; `processFlag` 1 runs the contrast enhancement, 0 leaves it out. Returns 1 or 0 as
   QorGetImgData. */
QORAPI INT32 WINAPI KelvoGetImgData(HANDLE device, INT32 bufferBytes, INT32* buffer,
                                    INT32 processFlag);

/* Ordinal 35. KelvoGetImgData with the older correction. */
QORAPI INT32 WINAPI NewKelvoGetImgData(HANDLE device, INT32 bufferBytes, INT32* buffer,
                                       INT32 processFlag);

/* Ordinal 36. Reads bufferBytes / 4 raw sensor samples (0..65535) without status query, checks
   or correction. Returns 1, or 0 when the read-out failed. */
QORAPI INT32 WINAPI KelvoGetRawImgData(HANDLE device, INT32 bufferBytes, INT32* buffer,
                                       INT32 ignored);

/* Ordinal 7. QorShutDown without demo mode. */
QORAPI INT32 WINAPI KelvoShutDown(HANDLE device);

/* Ordinal 8. Nothing. Returns 1. */
QORAPI INT32 WINAPI KelvoFinishExp(void);

/* Ordinal 18. Nothing. */
QORAPI void WINAPI KelvoCleanup(void);

/* Ordinal 3. Timer acquisition: arms the sensor and polls it every 500 ms from the calling
   thread's message loop; `notifyWindow` receives QOR_MSG_IMAGE_READY (then fetch the image with
   an image-data call), QOR_MSG_STATUS_FAILED or QOR_MSG_ACQUIRE_TIMEOUT. Returns 1; 0 for a
   device of -1. One timer acquisition at a time. */
QORAPI INT32 WINAPI AcquireImage(HANDLE device, HWND notifyWindow);

/* Ordinal 15. Timer acquisition of the sensor's test image (no exposure needed); the image
   buffer in QOR_MSG_IMAGE_READY then belongs to the receiver. Returns 1; 0 for a device of -1. */
QORAPI INT32 WINAPI AcquireTestImage(HANDLE device, INT32 ignored, HWND notifyWindow);

/* Ordinal 16. Arms the sensor for its test image without the timer; poll and read as usual.
   Returns 1; 0 for a device of -1. */
QORAPI INT32 WINAPI KelvoAcquireTestImage(HANDLE device);

/* Ordinal 4. Cancels a timer acquisition (no message is sent). */
QORAPI void WINAPI CancelImage(HANDLE device);

/* Ordinal 24. The timer callback of the timer acquisition; programs do not call it. */
QORAPI void WINAPI TimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);

/* Ordinal 40. Reads the calibration cache file of `imagerId` from the current directory into
   `buffer` (at least QOR_FLASH_BYTES bytes) and checks its checksum. Returns 1 when a valid copy
   is in `buffer`, else 0 (a bad checksum also shows a message box). */
QORAPI INT32 WINAPI KelvoReadFlashFile(BYTE* buffer, INT32 size, INT32 imagerId);

/* Ordinal 41. Copies the sensor's 2 MiB flash into the file `path`. Returns 0 when written, -1
   when memory ran short, -2 when the file did not open, -3 when it was written short. */
QORAPI INT32 WINAPI readFlashAndWriteToFile(HANDLE device, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* QOR_H */
