/*
 * error_causes.c - how a program learns why a call of Qor.dll failed: every call that returns 0
 * leaves its cause for GetKelvoError(). This program provokes the causes one after the other
 * with sensor 0 and prints, for each call, the cause it read and what a program does about it.
 *
 *   error_causes [--wait SECONDS]        default: 60 s for the exposure
 *
 * Run it with a sensor in slot 0 and nothing in slot 7. After "armed" it waits for an exposure
 * (of a simulated sensor: qorctl sim expose sensor0). Build it from the SDK folder alone:
 *   i686-w64-mingw32-gcc -I SDK error_causes.c -L SDK -lqor -o error_causes.exe
 */
#include "qor.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The name of a cause and what a program does about it. */
static const char* Advice(INT32 cause, const char** name) {
    switch (cause) {
    case QOR_ERR_INVALID_DEVICE:
        *name = "QOR_ERR_INVALID_DEVICE";
        return "pass the handle QorInitSystem returned";
    case QOR_ERR_NO_SENSOR:
        *name = "QOR_ERR_NO_SENSOR";
        return "plug the sensor in, or use another slot";
    case QOR_ERR_NOT_INITIALISED:
        *name = "QOR_ERR_NOT_INITIALISED";
        return "call QorInitSystem first";
    case QOR_ERR_TIMEOUT:
        *name = "QOR_ERR_TIMEOUT";
        return "the sensor did not answer: check its cable, then open it again";
    case QOR_ERR_BUFFER_TOO_SMALL:
        *name = "QOR_ERR_BUFFER_TOO_SMALL";
        return "pass a buffer of QOR_IMAGE_BUFFER_BYTES";
    case QOR_ERR_READOUT_FAILED:
        *name = "QOR_ERR_READOUT_FAILED";
        return "the image was lost on the way: arm again and repeat the exposure";
    case QOR_ERR_NO_IMAGE_YET:
        *name = "QOR_ERR_NO_IMAGE_YET";
        return "no exposure yet: keep polling";
    case QOR_ERR_NO_SIMULATOR:
        *name = "QOR_ERR_NO_SIMULATOR";
        return "copy qorsim.dll beside Qor.dll, or clear QOR_SENSOR_SIMULATOR";
    default:
        *name = "unknown";
        return "see qor.h";
    }
}

/* Prints the outcome of one call: "call: ok" or "call: NAME (code): advice". */
static void Report(const char* call, int succeeded) {
    const char* name = "";
    const INT32 cause = GetKelvoError();
    if (succeeded) {
        printf("%s: ok\n", call);
        return;
    }
    const char* advice = Advice(cause, &name);
    printf("%s: %s (%d): %s\n", call, name, (int)cause, advice);
}

int main(int argc, char** argv) {
    int waitSeconds = 60, i;
    INT32 status = 0;
    HWInfo info;
    HANDLE device;
    INT32* buffer;
    DWORD start;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            waitSeconds = atoi(argv[++i]);
        }
    }
    buffer = (INT32*)malloc(QOR_IMAGE_BUFFER_BYTES);
    if (buffer == NULL) {
        fprintf(stderr, "error_causes: out of memory\n");
        return 1;
    }

    Report("QorGetCapStatus with no device", QorGetCapStatus(NULL, &status));
    Report("QorInitSystem of the empty slot 7", QorInitSystem(7) != NULL);
    device = QorInitSystem(0);
    Report("QorInitSystem of slot 0", device != NULL);
    if (device == NULL) {
        free(buffer);
        return 1;
    }
    Report("QorGetCapStatus without a place for the status", QorGetCapStatus(device, NULL));
    Report("QorAcquireImage", QorAcquireImage(device));
    printf("armed: waiting for the exposure\n");
    fflush(stdout);
    Report("QorGetImgData before the exposure",
           QorGetImgData(device, buffer, QOR_IMAGE_BUFFER_BYTES));
    fflush(stdout);
    /* Polled as an acquisition program polls: a failed status query is reported once. */
    start = GetTickCount();
    for (;;) {
        const int answered = QorGetCapStatus(device, &status);
        if (!answered) {
            Report("QorGetCapStatus", 0);
            fflush(stdout);
        } else if (status == 1) {
            break;
        }
        if (GetTickCount() - start > (DWORD)waitSeconds * 1000u) {
            printf("no exposure within %d s\n", waitSeconds);
            QorCancelAcquireImage(device);
            QorShutDown(device);
            free(buffer);
            return 1;
        }
        Sleep(50);
    }
    Report("QorGetImgData of 16 bytes", QorGetImgData(device, buffer, 16));
    Report("QorGetImgData", QorGetImgData(device, buffer, QOR_IMAGE_BUFFER_BYTES));
    QorShutDown(device);
    Report("QorAcquireImage after QorShutDown", QorAcquireImage(device));
    Report("QorGetHWInfo after QorShutDown", QorGetHWInfo(device, &info));
    free(buffer);
    return 0;
}
