/*
 * qor_service.h - the service calls of "Qor.dll": they WRITE the sensor's flash, which holds its
 * factory calibration. For the vendor's service tools only; an imaging program never needs them
 * (a wrong image here makes every later image of that sensor wrong until it is recalibrated).
 * Same conventions as qor.h, which this header includes.
 */
#ifndef QOR_SERVICE_H
#define QOR_SERVICE_H

#include "qor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinal 31. Service only: WRITES the sensor's flash (its calibration) from `image`, one byte
   per INT32 element, QOR_FLASH_BYTES elements. Returns 1. */
QORAPI INT32 WINAPI KelvoInitMcs(HANDLE device, const INT32* image, INT32 ignored);

/* Ordinal 33. Service only: writes `image` (QOR_FLASH_BYTES INT32 elements) to
   "C:\DemoFlash.dat". Returns 1. */
QORAPI INT32 WINAPI KelvoInitDemoMcs(INT32 ignored, const INT32* image, INT32 ignored2);

#ifdef __cplusplus
}
#endif

#endif /* QOR_SERVICE_H */
