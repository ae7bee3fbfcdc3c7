// Choice of the device backend; the simulator is a separate library so that the shipped driver
// never contains it and never delivers anything but the sensor's own images.
#include "driver/win/device_backend.h"

#include "driver/win/driver_state.h"
#include "driver/win/notification_thread.h"
#include "driver/win/win32_device_io.h"
#include "external/sensor_sim/win/qorsim_api.h"

#include <mutex>
#include <string>

namespace {

std::mutex g_backendMutex;
qor::DeviceIo* g_backend = nullptr;
QorSimDestroyDeviceIoFn g_destroySimulator = nullptr;
bool g_simulatorMissing = false;

template <typename Fn>
Fn Resolve(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// qorsim.dll from this library's own folder, never from the search path.
qor::DeviceIo* LoadSimulator() {
    wchar_t variable[8];
    if (GetEnvironmentVariableW(L"QOR_SENSOR_SIMULATOR", variable, 8) == 0) {
        return nullptr;
    }
    wchar_t modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(NotificationModule(), modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    std::wstring path(modulePath, length);
    path.erase(path.find_last_of(L"\\/") + 1);
    path += L"qorsim.dll";
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) {
        OutputDebugStringA("Qor: QOR_SENSOR_SIMULATOR is set but qorsim.dll is missing\n");
        g_simulatorMissing = true;
        return nullptr;
    }
    const auto create = Resolve<QorSimCreateDeviceIoFn>(library, "QorSimCreateDeviceIo");
    const auto destroy = Resolve<QorSimDestroyDeviceIoFn>(library, "QorSimDestroyDeviceIo");
    qor::DeviceIo* io = create != nullptr && destroy != nullptr ? create() : nullptr;
    if (io == nullptr) {
        FreeLibrary(library);
        g_simulatorMissing = true;
        return nullptr;
    }
    g_destroySimulator = destroy;
    return io;
}

}  // namespace

void EnsureDeviceBackend() {
    std::lock_guard<std::mutex> lock(g_backendMutex);
    if (g_backend != nullptr) {
        return;
    }
    qor::DeviceIo* io = LoadSimulator();
    if (io == nullptr) {
        io = new Win32DeviceIo();
    }
    g_backend = io;
    Driver().port.io = io;
}

bool SimulatorMissing() {
    std::lock_guard<std::mutex> lock(g_backendMutex);
    return g_simulatorMissing;
}

void ReleaseDeviceBackend() {
    std::lock_guard<std::mutex> lock(g_backendMutex);
    Driver().port.io = nullptr;
    if (g_destroySimulator != nullptr) {
        g_destroySimulator(g_backend);
    } else {
        delete g_backend;
    }
    g_backend = nullptr;
    g_destroySimulator = nullptr;
    g_simulatorMissing = false;
}
