// A stand-in driver library whose first capture-status query hangs (as a driver call stuck on a
// device can) until the test signals the event "QOR test driver release", and which counts the
// shutdowns that arrive while such a call still runs in another thread.
#include "driver/win/qor_api.h"

#include <atomic>

namespace {

std::atomic<int> g_callsRunning{0};
std::atomic<int> g_statusCalls{0};
std::atomic<int> g_shutDownsDuringCall{0};

}  // namespace

// For the test in the same process.
extern "C" __declspec(dllexport) int FakeQorShutDownsDuringCall() { return g_shutDownsDuringCall; }

QOR_API HANDLE WINAPI QorInitSystem(int32_t) { return reinterpret_cast<HANDLE>(0x51); }
QOR_API int32_t WINAPI QorInitSensor(HANDLE) { return 1; }
QOR_API int32_t WINAPI QorShutDown(HANDLE) {
    if (g_callsRunning > 0) {
        ++g_shutDownsDuringCall;
    }
    return 1;
}
QOR_API int32_t WINAPI QorGetHWInfo(HANDLE, HWInfo* info) {
    *info = HWInfo{640, 480, 2, 7};
    return 1;
}
QOR_API DriverVersion* WINAPI QorGetDriverVersion(DriverVersion* version) { return version; }
QOR_API int32_t WINAPI QorAcquireImage(HANDLE) { return 1; }
QOR_API int32_t WINAPI QorGetCapStatus(HANDLE, int32_t* status) {
    ++g_callsRunning;
    if (g_statusCalls++ == 0) {
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"QOR test driver release");
        WaitForSingleObject(release, 120000);
        CloseHandle(release);
    }
    *status = 0;
    --g_callsRunning;
    return 1;
}
QOR_API int32_t WINAPI QorGetImgData(HANDLE, int32_t*, int32_t) { return 1; }
QOR_API int32_t WINAPI QorCancelAcquireImage(HANDLE) { return 1; }
QOR_API int32_t WINAPI QorFinishExp(HANDLE) { return 1; }
