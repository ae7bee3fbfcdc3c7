/*
 * acquire.c - lists the sensors, takes one image and writes it as an 8-bit grey BMP file.
 *
 *   acquire [--demo] [--wait SECONDS] [OUT.bmp]        default: image.bmp, 120 s
 *
 * Without a sensor (or with --demo) it switches the library to demo mode and saves a synthetic
 * image. Build it from the SDK folder alone:
 *   i686-w64-mingw32-gcc -I SDK acquire.c -L SDK -lqor -o acquire.exe        (mingw)
 *   cl /I SDK acquire.c SDK\qor.lib                                            (Microsoft)
 */
#include "qor.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Writes a corrected image (0..4095, width x height INT32 values, first row first) as an 8-bit
   grey bottom-up BMP file with a 256-entry grey palette. Returns 1 on success. */
static int WriteGreyBmp(const char* path, const INT32* image, INT32 width, INT32 height) {
    const DWORD rowBytes = ((DWORD)width + 3u) & ~3u;
    const DWORD headerBytes = 14u + 40u + 256u * 4u;
    unsigned char header[14 + 40 + 256 * 4];
    unsigned char* row;
    FILE* file;
    INT32 x, y;
    int ok = 1;
    BITMAPFILEHEADER fileHeader;
    BITMAPINFOHEADER info;

    memset(&fileHeader, 0, sizeof fileHeader);
    fileHeader.bfType = 0x4D42; /* "BM" */
    fileHeader.bfSize = headerBytes + rowBytes * (DWORD)height;
    fileHeader.bfOffBits = headerBytes;
    memset(&info, 0, sizeof info);
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height; /* positive: bottom-up rows */
    info.biPlanes = 1;
    info.biBitCount = 8;
    info.biCompression = BI_RGB;
    info.biSizeImage = rowBytes * (DWORD)height;
    info.biClrUsed = 256;
    memcpy(header, &fileHeader, 14);
    memcpy(header + 14, &info, 40);
    for (x = 0; x < 256; ++x) {
        unsigned char* entry = header + 54 + 4 * x;
        entry[0] = entry[1] = entry[2] = (unsigned char)x;
        entry[3] = 0;
    }

    file = fopen(path, "wb");
    if (file == NULL) {
        return 0;
    }
    row = (unsigned char*)calloc(rowBytes, 1);
    if (row == NULL || fwrite(header, 1, headerBytes, file) != headerBytes) {
        ok = 0;
    }
    for (y = height - 1; ok && y >= 0; --y) {
        const INT32* source = image + (size_t)y * (size_t)width;
        for (x = 0; x < width; ++x) {
            INT32 v = source[x];
            v = v < 0 ? 0 : (v > 4095 ? 4095 : v);
            row[x] = (unsigned char)(v * 255 / 4095);
        }
        ok = fwrite(row, 1, rowBytes, file) == rowBytes;
    }
    free(row);
    return fclose(file) == 0 && ok;
}

/* Arms the sensor, polls its status every 50 ms and reads the corrected image. Returns 1 with
   the image in `buffer`, 0 when none came within `waitSeconds`, the sensor stopped answering or
   the image was lost on the way (each failing call leaves its cause in GetKelvoError()). */
static int TakeImage(HANDLE device, INT32* buffer, int waitSeconds) {
    const DWORD start = GetTickCount();
    if (!QorAcquireImage(device)) {
        fprintf(stderr, "acquire: the sensor could not be armed (error %d)\n", GetKelvoError());
        return 0;
    }
    printf("armed: waiting for the exposure\n");
    fflush(stdout);
    for (;;) {
        INT32 status = 0;
        if (!QorGetCapStatus(device, &status)) {
            fprintf(stderr, "acquire: the sensor does not answer: check its cable, then run "
                            "the program again\n");
            return 0;
        }
        /* A captured image is read; 0 after status 1 means "not yet": keep polling. */
        if (status == 1) {
            if (QorGetImgData(device, buffer, QOR_IMAGE_BUFFER_BYTES)) {
                return 1;
            }
            if (GetKelvoError() == QOR_ERR_READOUT_FAILED) {
                fprintf(stderr, "acquire: the image was lost on the way from the sensor: "
                                "check its cable, then take it again\n");
                return 0;
            }
            /* QOR_ERR_NO_IMAGE_YET: not captured after all; keep polling. */
        }
        if (GetTickCount() - start > (DWORD)waitSeconds * 1000u) {
            QorCancelAcquireImage(device);
            fprintf(stderr, "acquire: no exposure within %d s\n", waitSeconds);
            return 0;
        }
        Sleep(50);
    }
}

int main(int argc, char** argv) {
    const char* outPath = "image.bmp";
    int demo = 0, waitSeconds = 120, i, result = 1;
    INT32 slots[8] = {0};
    DriverVersion version;
    HWInfo info;
    HANDLE device;
    INT32* buffer;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--demo") == 0) {
            demo = 1;
        } else if (strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            waitSeconds = atoi(argv[++i]);
            if (waitSeconds < 1) {
                waitSeconds = 1;
            }
        } else {
            outPath = argv[i];
        }
    }

    QorGetDriverVersion(&version);
    printf("Qor.dll %d.%d.%d\n", version.major, version.minor, version.build);

    device = demo ? NULL : QorInitSystem(0);
    QorGetDeviceStatus(slots); /* filled by the device-change thread QorInitSystem started */
    printf("sensor slots:");
    for (i = 0; i < 8; ++i) {
        printf(" %s", slots[i] ? "present" : "-");
    }
    printf("\n");
    if (!demo && device == NULL && GetKelvoError() == QOR_ERR_NO_SIMULATOR) {
        /* The simulated sensors were asked for: demo images would hide the mistake. */
        fprintf(stderr, "acquire: QOR_SENSOR_SIMULATOR is set, but qorsim.dll is not beside "
                        "Qor.dll: copy it there, or clear the variable to use a real sensor\n");
        return 1;
    }
    if (device == NULL || device == INVALID_HANDLE_VALUE) {
        int present = 0;
        for (i = 0; i < 8; ++i) {
            present |= slots[i];
        }
        /* A sensor that is there but does not open is reported, not silently replaced. */
        printf(demo || !present ? "no sensor: demo mode\n"
                                : "a sensor is present, but sensor 0 does not open: demo mode\n");
        QorSetDemoMode(1);
        device = QorInitSystem(0);
    }
    if (device == NULL || !QorInitSensor(device)) {
        fprintf(stderr, "acquire: the sensor has no calibration: unplug it, plug it in again "
                        "and retry\n");
        return 1;
    }
    if (!QorGetHWInfo(device, &info)) {
        fprintf(stderr, "acquire: no hardware information\n");
        QorShutDown(device);
        return 1;
    }
    printf("sensor: %d x %d, type %d, imager ID %d\n", info.width, info.height,
           info.sensorType, info.imagerId);

    buffer = (INT32*)malloc(QOR_IMAGE_BUFFER_BYTES);
    if (buffer == NULL) {
        fprintf(stderr, "acquire: out of memory\n");
    } else if (TakeImage(device, buffer, waitSeconds)) {
        if (WriteGreyBmp(outPath, buffer, info.width, info.height)) {
            printf("image: %s\n", outPath);
            result = 0;
        } else {
            fprintf(stderr, "acquire: cannot write %s: check the folder and free space\n",
                    outPath);
        }
    }
    free(buffer);
    QorShutDown(device);
    return result;
}
