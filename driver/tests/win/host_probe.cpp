// A host of Qor.dll that does what hosts do at awkward moments: unloads the library right after
// starting its thread or during a timer acquisition, shuts down while the timer polls, runs with
// floating-point exceptions unmasked and another rounding mode, arms a sensor whose arm command
// is lost, or starts on a machine too busy to enumerate within a second. One scenario per run
// (the test runs each in a fresh process); the exit code says what went wrong, and a crash shows
// as the exception code.
#include "driver/win/qor_api.h"

#include "driver/core/sensor_commands.h"
#include "external/sensor_sim/core/sim_device_io.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "tests/support/sensor_bench.h"

#include <xmmintrin.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

enum Exit : int {
    kPassed = 0,
    kNoLibrary = 10,
    kNoSensor = 11,
    kTimerOutlivedShutdown = 12,
    kFrameDiffers = 13,
    kCallerStateChanged = 14,
    kArmReportedSuccess = 15,
    kUnknownScenario = 16,
    kNoFrame = 17,
    kCrashed = 18,
};

// A fault on any thread ends the probe with its own code, so a crash in the library's thread
// after the host's last call cannot pass for success.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS*) {
    ExitProcess(kCrashed);
}

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void Pump(DWORD milliseconds) {
    const DWORD end = GetTickCount() + milliseconds;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

int g_timerMessages = 0;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_APP + 200 && message <= WM_APP + 202) {
        ++g_timerMessages;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeReceiver() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QorProbeReceiver";
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

bool Expose(uint32_t seed) {
    std::string error;
    const auto root = qor::sim::SimulatorControl::RootFromEnvironment();
    return root && qor::sim::SimulatorControl(*root).Expose("", seed, error);
}

// Arms, exposes with `seed` and reads the corrected frame.
bool TakeFrame(HMODULE qor, HANDLE device, uint32_t seed, std::vector<int32_t>& frame) {
    frame.assign(4194304 / 4, 0);
    if (Entry<decltype(&::QorAcquireImage)>(qor, "QorAcquireImage")(device) != 1 ||
        !Expose(seed)) {
        return false;
    }
    int32_t status = 0;
    Entry<decltype(&::QorGetCapStatus)>(qor, "QorGetCapStatus")(device, &status);
    return status == 1 &&
           Entry<decltype(&::QorGetImgData)>(qor, "QorGetImgData")(device, frame.data(),
                                                                    4194304) == 1;
}

int Run(const std::string& scenario) {
    HMODULE qor = LoadLibraryW(L"Qor.dll");
    if (qor == nullptr) {
        return kNoLibrary;
    }
    const auto initSystem = Entry<decltype(&::QorInitSystem)>(qor, "QorInitSystem");

    if (scenario == "unload-young-thread") {
        Entry<decltype(&::QorInitEventNotification)>(qor, "QorInitEventNotification")(
            CreateEventW(nullptr, FALSE, FALSE, nullptr));
        FreeLibrary(qor);
        Pump(1000);
        return kPassed;
    }
    if (scenario == "unload-after-init") {
        initSystem(0);
        FreeLibrary(qor);
        Pump(1000);
        return kPassed;
    }

    // The first call finds the plugged sensor however long the first enumeration takes (the
    // test slows it beyond the library's one-second wait for one scenario).
    HANDLE device = initSystem(0);
    if (device == nullptr) {
        return kNoSensor;
    }
    if (scenario == "slow-first-enumeration") {
        return kPassed;
    }
    const auto timerAcquire = Entry<decltype(&::AcquireImage)>(qor, "AcquireImage");
    if (scenario == "unload-during-timer") {
        // The library stays mapped while its timer runs: the acquisition goes on and reports
        // (an armed sensor's non-zero status reads as a frame in the timer sequence).
        if (timerAcquire(device, MakeReceiver()) != 1) {
            return kNoSensor;
        }
        FreeLibrary(qor);
        Pump(qor::test::Patience(1300));  // two poll steps
        return g_timerMessages == 1 ? kPassed : kNoFrame;
    }
    if (scenario == "shutdown-during-timer") {
        if (timerAcquire(device, MakeReceiver()) != 1) {
            return kNoSensor;
        }
        Entry<decltype(&::QorShutDown)>(qor, "QorShutDown")(device);
        Pump(qor::test::Patience(1300));
        return g_timerMessages == 0 ? kPassed : kTimerOutlivedShutdown;
    }
    if (scenario == "unmasked-exceptions") {
        std::vector<int32_t> reference;
        std::vector<int32_t> frame;
        if (!TakeFrame(qor, device, 21, reference)) {
            return kNoFrame;
        }
        // Division by zero, invalid and overflow unmasked, rounding toward minus infinity.
        const unsigned hostState = (0x1F80u & ~(_MM_MASK_DIV_ZERO | _MM_MASK_INVALID |
                                                _MM_MASK_OVERFLOW)) | _MM_ROUND_DOWN;
        _mm_setcsr(hostState);
        const bool taken = TakeFrame(qor, device, 21, frame);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(0x1F80);
        if (!taken) {
            return kNoFrame;
        }
        if (after != hostState) {
            return kCallerStateChanged;
        }
        return frame == reference ? kPassed : kFrameDiffers;
    }
    if (scenario == "arm-command-lost") {
        const auto root = qor::sim::SimulatorControl::RootFromEnvironment();
        std::string error;
        qor::sim::SimulatorControl control(*root);
        const qor::sim::InjectedFault lost{qor::CmdArm, qor::sim::FaultStep::Command,
                                           qor::sim::FaultKind::FailTransfer, 0, 1};
        control.SetFaults(control.List().front().name, {lost}, error);
        // The library's copy of the simulator sees another module's change within this time.
        Sleep(static_cast<DWORD>(qor::sim::SimDeviceIo::kStateRecheck.count()) + 5);
        const int32_t armed = Entry<decltype(&::QorAcquireImage)>(qor, "QorAcquireImage")(device);
        control.SetFaults(control.List().front().name, {}, error);
        return armed == 0 ? kPassed : kArmReportedSuccess;
    }
    return kUnknownScenario;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: host_probe SCENARIO\n");
        return kUnknownScenario;
    }
    SetUnhandledExceptionFilter(ReportCrash);
    return Run(argv[1]);
}
