// The sensors the library knows: the eight-entry DeviceTable and EnumeratedPaths, and the slot
// changes that opening a sensor and the arrival and removal events make to them. One lock keeps
// the notification thread's writes and the callers' reads apart.
#pragma once

#include "driver/core/device_io.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qor {

inline constexpr int32_t kDeviceSlotCount = 8;
inline constexpr int32_t kDevicePathSize = 256; // characters, NUL included

enum SlotState : int32_t { SlotEmpty = 0, SlotPresent = 1, SlotRemoved = 2 };

struct DeviceSlot {
    char devicePath[kDevicePathSize] = {};
    DeviceHandle handle = kNoDevice;
    int32_t state = SlotEmpty;
};

using DeviceTable = std::array<DeviceSlot, kDeviceSlotCount>;
using EnumeratedPaths = std::array<std::array<char, kDevicePathSize>, kDeviceSlotCount>;

// Handle event codes of the platform's device-change broadcast.
inline constexpr uint32_t kDeviceQueryRemove = 0x8001;
inline constexpr uint32_t kDeviceQueryRemoveFailed = 0x8002;
inline constexpr uint32_t kDeviceRemovePending = 0x8003;
inline constexpr uint32_t kDeviceRemoveComplete = 0x8004;

// What a handle event did, so that the shell can write its debugger texts, set the change event
// and cancel its handle registration.
struct HandleEventResult {
    bool queryRemoveHandled = false; // the query-remove step took the slot
    bool removeHandled = false;      // the remove step took the slot
    bool cancelRegistration = false; // the code is one of 0x8001, 0x8003, 0x8004
};

class DeviceRegistry {
public:
    // Stores the enumeration of EnumerateDevices: at most the first eight paths (longer paths
    // cut to 255 characters), entries at and beyond the count keep their contents. Returns the
    // count stored, never more than eight, and makes it the enumeration count.
    int32_t StoreEnumeration(const std::vector<std::string>& paths);
    std::string EnumeratedPath(int32_t index) const;
    void ClearEnumeratedPaths();
    int32_t EnumerationCount() const;

    // Records an opened handle in the first SlotPresent slot without a handle (0 or -1);
    // false when no slot qualifies.
    bool RecordHandle(DeviceHandle handle);
    // 1 for each SlotPresent slot, else 0.
    void DeviceStatus(int32_t status[kDeviceSlotCount]) const;
    DeviceSlot Slot(int32_t index) const;

    // Arrival and removal (the notification window's steps). Each returns whether the table
    // changed in a way that calls for the change event.
    // Creation: slots 0..count-1 present with their paths; no sensor: all slots removed.
    // True when at least one sensor was found.
    bool ApplyInitialEnumeration(int32_t count);
    // An interface arrived (after a fresh enumeration of `count`): every slot below the count
    // that is empty or removed and whose path is empty or the arriving name takes it.
    void ApplyArrival(const std::string& name, int32_t count);
    // An interface went away (after emptying the paths and enumerating `count` again): the first
    // slot whose path is neither empty nor enumerated is removed; with no sensor left all slot
    // paths are emptied.
    void ApplyRemoveComplete(int32_t count);
    HandleEventResult ApplyHandleEvent(DeviceHandle handle, uint32_t code);
    // A suspend query: every slot removed, handles forgotten (not closed).
    void ApplySuspendQuery();

private:
    static void CopyPath(char* destination, const std::string& path);

    mutable std::mutex mutex_;
    DeviceTable table_{};
    EnumeratedPaths paths_{};
    int32_t enumerationCount_ = 0;
};

} // namespace qor
