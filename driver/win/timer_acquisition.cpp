// Timer, buffer and library pinning of the timer acquisition.
#include "driver/win/timer_acquisition.h"

#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"

namespace {

constexpr UINT kPollMs = 500;

TimerAcquisition& Timer() { return Driver().timer; }

// Raising the working set is what a stock process needs to lock about 4 MiB.
bool LockInWorkingSet(void* memory, size_t bytes) {
    if (VirtualLock(memory, bytes)) {
        return true;
    }
    HANDLE process = GetCurrentProcess();
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    const SIZE_T extra = bytes + 256 * 1024;
    return GetProcessWorkingSetSize(process, &minimum, &maximum) &&
           SetProcessWorkingSetSize(process, minimum + extra, maximum + extra) &&
           VirtualLock(memory, bytes);
}

void PinLibrary() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Timer), &self);
}

}  // namespace

void StopPollingTimer() {
    TimerAcquisition& timer = Timer();
    if (timer.timerId != 0) {
        KillTimer(nullptr, timer.timerId);
        timer.timerId = 0;
    }
}

void ReleaseImageBuffer() {
    TimerAcquisition& timer = Timer();
    if (timer.imageBuffer != nullptr) {
        if (timer.imageBufferLocked) {
            VirtualUnlock(timer.imageBuffer, timer.imageBufferBytes);
        }
        VirtualFree(timer.imageBuffer, 0, MEM_RELEASE);
        timer.imageBuffer = nullptr;
        timer.imageBufferBytes = 0;
        timer.imageBufferLocked = false;
    }
}

void EndTimerAcquisition() {
    StopPollingTimer();
    Timer().timerDevice = INVALID_HANDLE_VALUE;
    ReleaseImageBuffer();
}

void AllocateImageBuffer() {
    ReleaseImageBuffer();
    const int32_t pixels = Driver().calibration.set.pixelCount;
    if (pixels <= 0) {
        return;
    }
    const size_t bytes = size_t(pixels) * sizeof(int32_t);
    void* memory = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) {
        return;
    }
    TimerAcquisition& timer = Timer();
    timer.imageBuffer = static_cast<int32_t*>(memory);
    timer.imageBufferBytes = bytes;
    timer.imageBufferLocked = LockInWorkingSet(memory, bytes);
}

void StartPolling(HANDLE device, TIMERPROC proc) {
    StopPollingTimer();
    TimerAcquisition& timer = Timer();
    timer.elapsedMs = 0;
    timer.timerDevice = device;
    PinLibrary();
    timer.timerId = SetTimer(nullptr, 0, kPollMs, proc);
}

bool KillStaleTimer(UINT message, UINT_PTR timerId) {
    if (message != WM_TIMER || timerId == 0 || timerId == Timer().timerId) {
        return false;
    }
    KillTimer(nullptr, timerId);
    return true;
}
