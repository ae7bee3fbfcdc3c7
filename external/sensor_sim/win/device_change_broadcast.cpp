// WM_DEVICECHANGE messages for simulated sensors.
#include "external/sensor_sim/win/device_change_broadcast.h"

#include <windows.h>
#include <dbt.h>

#include <map>
#include <vector>

namespace qor::sim {

namespace {

constexpr UINT kSendTimeoutMs = 5000;

BOOL CALLBACK CollectEventWindow(HWND window, LPARAM found) {
    try {
        wchar_t name[16] = {};
        if (GetClassNameW(window, name, 16) > 0 && lstrcmpW(name, L"EventWnd") == 0) {
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

int SendInterfaceEvent(WPARAM event, const std::string& interfacePath) {
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<BYTE> storage(nameOffset + (interfacePath.size() + 1) * sizeof(wchar_t));
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    header->dbcc_size = static_cast<DWORD>(storage.size());
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = {0xD1F7BE01, 0xE9E2, 0x43C4, {0xB7, 0x23, 0xA2, 0xC5, 0x51, 0x9E, 0x4E, 0x6F}};
    for (size_t i = 0; i < interfacePath.size(); ++i) {
        header->dbcc_name[i] = static_cast<wchar_t>(static_cast<unsigned char>(interfacePath[i]));
    }
    header->dbcc_name[interfacePath.size()] = 0;
    std::vector<HWND> windows;
    EnumWindows(CollectEventWindow, reinterpret_cast<LPARAM>(&windows));
    int told = 0;
    for (HWND window : windows) {
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header),
                                SMTO_ABORTIFHUNG, kSendTimeoutMs, &answer) != 0) {
            ++told;
        }
    }
    return told;
}

}  // namespace

int BroadcastInterfaceArrival(const std::string& interfacePath) {
    return SendInterfaceEvent(DBT_DEVICEARRIVAL, interfacePath);
}

int BroadcastInterfaceRemoval(const std::string& interfacePath) {
    return SendInterfaceEvent(DBT_DEVICEREMOVECOMPLETE, interfacePath);
}

int BroadcastChanges(const std::vector<SensorListing>& before,
                     const std::vector<SensorListing>& after) {
    int delivered = 0;
    std::map<std::string, const SensorListing*> earlier;
    for (const SensorListing& sensor : before) {
        earlier[sensor.name] = &sensor;
    }
    for (const SensorListing& sensor : after) {
        auto it = earlier.find(sensor.name);
        const bool wasPlugged = it != earlier.end() && it->second->plugged;
        const bool sameGeneration = wasPlugged && it->second->generation == sensor.generation;
        if (wasPlugged && (!sensor.plugged || !sameGeneration)) {
            delivered += BroadcastInterfaceRemoval(it->second->interfacePath);
        }
        if (sensor.plugged && !sameGeneration) {
            delivered += BroadcastInterfaceArrival(sensor.interfacePath);
        }
    }
    return delivered;
}

}  // namespace qor::sim
