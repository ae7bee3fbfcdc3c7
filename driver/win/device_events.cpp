// Handlers of the notification window: they keep the device table up to date and tell the
// outside world (change event, broadcasts, debugger texts).
#include "driver/win/device_events.h"

#include <dbt.h>

#include "driver/win/driver_state.h"
#include "driver/win/win32_device_io.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

// The notification thread's window, null until it is created and once it closes.
std::atomic<HWND> g_window{nullptr};
UINT g_arrivalMessage = 0;
UINT g_removalMessage = 0;
HDEVNOTIFY g_interfaceRegistration = nullptr;
// The handle registration is made on the caller's thread (open, shutdown) and cancelled on the
// notification thread (removal): one lock for both, and for the device it belongs to.
std::mutex g_handleRegistrationMutex;
HDEVNOTIFY g_handleRegistration = nullptr;
qor::DeviceHandle g_registeredDevice = qor::kNoDevice;

void CancelHandleRegistrationLocked() {
    if (g_handleRegistration != nullptr) {
        UnregisterDeviceNotification(g_handleRegistration);
        g_handleRegistration = nullptr;
    }
    g_registeredDevice = qor::kNoDevice;
}

qor::DeviceRegistry& Devices() { return Driver().port.devices; }

void Debug(const char* text) { OutputDebugStringA(text); }

// Interface names are plain ASCII device paths.
std::string NarrowName(const DEV_BROADCAST_DEVICEINTERFACE_W* header) {
    std::string name;
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const size_t limit = header->dbcc_size > nameOffset
                             ? (header->dbcc_size - nameOffset) / sizeof(wchar_t)
                             : 0;
    for (size_t i = 0; i < limit && header->dbcc_name[i] != 0; ++i) {
        name.push_back(static_cast<char>(header->dbcc_name[i]));
    }
    return name;
}

void OnInterfaceEvent(WPARAM event, const DEV_BROADCAST_DEVICEINTERFACE_W* header) {
    DriverState& state = Driver();
    if (event == DBT_DEVICEARRIVAL) {
        const int32_t count = qor::EnumerateDevices(state.port);
        Devices().ApplyArrival(NarrowName(header), count);
        SignalDeviceChange();
        Debug("Device Arrived");
        if (g_arrivalMessage != 0) {
            Debug("Device Connected");
            PostMessageW(HWND_BROADCAST, g_arrivalMessage, 0, 0);
        }
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        Devices().ClearEnumeratedPaths();
        const int32_t count = qor::EnumerateDevices(state.port);
        Devices().ApplyRemoveComplete(count);
        SignalDeviceChange();
        if (g_removalMessage != 0) {
            PostMessageW(HWND_BROADCAST, g_removalMessage, 0, 0);
        }
    }
}

void OnHandleEvent(WPARAM event, const DEV_BROADCAST_HANDLE* header) {
    const auto device = reinterpret_cast<qor::DeviceHandle>(header->dbch_handle);
    const qor::HandleEventResult result =
        Devices().ApplyHandleEvent(device, static_cast<uint32_t>(event));
    if (result.queryRemoveHandled) {
        Debug("HandleDeviceChange::DBT_DEVICEQUERYREMOVE::Using device got disconnected");
        Debug("HandleDeviceChange::DBT_DEVICEQUERYREMOVE::Device Removed");
        SignalDeviceChange();
    }
    if (result.removeHandled) {
        Debug("HandleDeviceChange::DBT_DEVICEREMOVECOMPLETE::Using device got disconnected");
        Debug("HandleDeviceChange::DBT_DEVICEREMOVECOMPLETE::Device Removed");
        SignalDeviceChange();
    }
    if (result.cancelRegistration) {
        std::lock_guard<std::mutex> lock(g_handleRegistrationMutex);
        CancelHandleRegistrationLocked();
    }
}

}  // namespace

void SignalDeviceChange() {
    if (HANDLE event = Driver().deviceChangeEvent.load()) {
        SetEvent(event);
    }
}

void OnEventWindowCreate(HWND window) {
    g_window = window;
    g_interfaceRegistration = nullptr;
    g_arrivalMessage = RegisterWindowMessageW(L"Halvex Arrival");
    g_removalMessage = RegisterWindowMessageW(L"Halvex Removal");
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kSensorInterfaceClass;
    g_interfaceRegistration =
        RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    DriverState& state = Driver();
    const int32_t count = qor::EnumerateDevices(state.port);
    if (Devices().ApplyInitialEnumeration(count)) {
        SetEvent(state.enumerationEvent);
        SetEvent(state.privateEnumerationEvent);
    }
    SetEvent(state.firstEnumerationFinished);
    SignalDeviceChange();
}

LRESULT OnDeviceChange(WPARAM event, LPARAM data) {
    if (data == 0) {
        return TRUE;
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        OnInterfaceEvent(event, reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header));
    } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        OnHandleEvent(event, reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header));
    }
    return TRUE;
}

void OnSuspendQuery() {
    Devices().ApplySuspendQuery();
    SignalDeviceChange();
}

void CancelDeviceNotifications() {
    g_window = nullptr;
    if (g_interfaceRegistration != nullptr) {
        UnregisterDeviceNotification(g_interfaceRegistration);
        g_interfaceRegistration = nullptr;
    }
    std::lock_guard<std::mutex> lock(g_handleRegistrationMutex);
    CancelHandleRegistrationLocked();
}

void RegisterHandleNotification(qor::DeviceHandle device) {
    HWND window = g_window;
    if (window == nullptr) {
        return;
    }
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = reinterpret_cast<HANDLE>(device);
    // One registration is kept, the one of the sensor opened last; the earlier one is
    // cancelled, so initialise/shutdown cycles leave no registrations behind.
    std::lock_guard<std::mutex> lock(g_handleRegistrationMutex);
    CancelHandleRegistrationLocked();
    g_handleRegistration = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (g_handleRegistration != nullptr) {
        g_registeredDevice = device;
    }
}

void CancelHandleNotification(qor::DeviceHandle device) {
    std::lock_guard<std::mutex> lock(g_handleRegistrationMutex);
    if (device == g_registeredDevice) {
        CancelHandleRegistrationLocked();
    }
}

void InstallDeviceHooks() {
    qor::TransportHooks& hooks = Driver().port.hooks;
    hooks.registerHandleNotification = RegisterHandleNotification;
    hooks.signalDeviceChange = SignalDeviceChange;
}
