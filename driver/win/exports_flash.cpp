// Entry points that read, dump or write calibration flash contents.
#include "driver/win/qor_api.h"
#include "driver/win/export_guard.h"
#include "driver/win/driver_state.h"
#include "driver/win/message_boxes.h"

#include "driver/core/calibration_cache.h"

namespace {

const char kDumpWarningTitle[] = "Warning from readFlashAndWriteToFile in qor.dll";

void Warn(const char* text) { ShowMessageBox(qor::UserNotice{kDumpWarningTitle, text}); }

// Movable global blocks, zero-filled and locked, as the dump has always used.
struct LockedGlobal {
    HGLOBAL block = nullptr;
    void* data = nullptr;
    explicit LockedGlobal(SIZE_T bytes) {
        block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        data = block != nullptr ? GlobalLock(block) : nullptr;
    }
};

void Release(LockedGlobal& memory, const char* unlockWarning, const char* freeWarning) {
    if (memory.block == nullptr) {
        return;
    }
    if (memory.data != nullptr && GlobalUnlock(memory.block) != 0) {
        Warn(unlockWarning);
    }
    if (GlobalFree(memory.block) != nullptr) {
        Warn(freeWarning);
    }
}

}  // namespace

QOR_API int32_t WINAPI KelvoInitMcs(HANDLE device, const int32_t* image, int32_t) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return qor::KelvoInitMcs(Driver().port, ToDevice(device), image, Driver().calibration);
    });
}

QOR_API int32_t WINAPI KelvoInitDemoMcs(int32_t, const int32_t* image, int32_t) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return qor::KelvoInitDemoMcs(image, qor::kDemoFlashPath);
    });
}

QOR_API int32_t WINAPI KelvoReadFlashFile(uint8_t* buffer, int32_t size, int32_t imagerId) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        return qor::ReadCalibrationCache(buffer, size, static_cast<uint32_t>(imagerId), ShowMessageBox);
    });
}

QOR_API int32_t WINAPI readFlashAndWriteToFile(HANDLE device, const char* path) {
    return Guarded<int32_t>(0, [&]() -> int32_t {
        LockedGlobal staging(qor::kFlashStagingBytes);
        LockedGlobal bytes(qor::kFlashBytes);
        int32_t result = -1;  // no memory: nothing read, nothing written
        if (staging.data != nullptr && bytes.data != nullptr) {
            auto* flash = static_cast<int32_t*>(staging.data);
            auto* image = static_cast<uint8_t*>(bytes.data);
            qor::ReadFlashImage(Driver().port, ToDevice(device), flash);
            for (uint32_t i = 0; i < qor::kFlashBytes; ++i) {
                image[i] = static_cast<uint8_t>(flash[i]);
            }
            result = qor::WriteFlashDump(path, image, qor::kFlashBytes);
        }
        Release(staging, "(GlobalUnlock(hlFlashData) != 0)", "(GlobalFree(hlFlashData) != 0)");
        Release(bytes, "(GlobalUnlock(hbFlashData) != 0)", "(GlobalFree(hbFlashData) != 0)");
        return result;
    });
}
