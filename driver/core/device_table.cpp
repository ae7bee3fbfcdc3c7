// The DeviceTable and EnumeratedPaths, and their changes on open, arrival and removal.
#include "driver/core/device_table.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qor {
namespace {

bool SameText(const char* a, const std::string& b) {
    const size_t length = std::strlen(a);
    if (length != b.size()) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool HasHandle(DeviceHandle handle) {
    return handle != kNoDevice && handle != kInvalidDevice;
}

} // namespace

void DeviceRegistry::CopyPath(char* destination, const std::string& path) {
    const size_t length = std::min<size_t>(path.size(), kDevicePathSize - 1);
    std::memcpy(destination, path.data(), length);
    std::memset(destination + length, 0, kDevicePathSize - length);
}

int32_t DeviceRegistry::StoreEnumeration(const std::vector<std::string>& paths) {
    std::lock_guard lock(mutex_);
    const auto count = static_cast<int32_t>(std::min<size_t>(paths.size(), kDeviceSlotCount));
    for (int32_t i = 0; i < count; ++i) {
        CopyPath(paths_[i].data(), paths[i]);
    }
    enumerationCount_ = count;
    return count;
}

std::string DeviceRegistry::EnumeratedPath(int32_t index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kDeviceSlotCount) {
        return {};
    }
    return std::string(paths_[index].data());
}

void DeviceRegistry::ClearEnumeratedPaths() {
    std::lock_guard lock(mutex_);
    for (auto& path : paths_) {
        path.fill(0);
    }
}

int32_t DeviceRegistry::EnumerationCount() const {
    std::lock_guard lock(mutex_);
    return enumerationCount_;
}

bool DeviceRegistry::RecordHandle(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    for (DeviceSlot& slot : table_) {
        if (slot.state == SlotPresent && !HasHandle(slot.handle)) {
            slot.handle = handle;
            return true;
        }
    }
    return false;
}

void DeviceRegistry::DeviceStatus(int32_t status[kDeviceSlotCount]) const {
    std::lock_guard lock(mutex_);
    for (int32_t i = 0; i < kDeviceSlotCount; ++i) {
        status[i] = table_[i].state == SlotPresent ? 1 : 0;
    }
}

DeviceSlot DeviceRegistry::Slot(int32_t index) const {
    std::lock_guard lock(mutex_);
    return index >= 0 && index < kDeviceSlotCount ? table_[index] : DeviceSlot{};
}

bool DeviceRegistry::ApplyInitialEnumeration(int32_t count) {
    std::lock_guard lock(mutex_);
    count = std::clamp(count, 0, kDeviceSlotCount);
    if (count == 0) {
        for (DeviceSlot& slot : table_) {
            slot.state = SlotRemoved;
        }
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        table_[i].state = SlotPresent;
        std::memcpy(table_[i].devicePath, paths_[i].data(), kDevicePathSize);
    }
    return true;
}

void DeviceRegistry::ApplyArrival(const std::string& name, int32_t count) {
    std::lock_guard lock(mutex_);
    count = std::clamp(count, 0, kDeviceSlotCount);
    for (int32_t i = 0; i < count; ++i) {
        DeviceSlot& slot = table_[i];
        if (slot.state != SlotEmpty && slot.state != SlotRemoved) {
            continue;
        }
        if (slot.devicePath[0] == '\0' || SameText(slot.devicePath, name)) {
            slot.state = SlotPresent;
            CopyPath(slot.devicePath, name);
        }
    }
}

void DeviceRegistry::ApplyRemoveComplete(int32_t count) {
    std::lock_guard lock(mutex_);
    count = std::clamp(count, 0, kDeviceSlotCount);
    for (DeviceSlot& slot : table_) {
        bool attached = slot.devicePath[0] == '\0';
        for (int32_t i = 0; i < count && !attached; ++i) {
            attached = SameText(slot.devicePath, std::string(paths_[i].data()));
        }
        if (!attached) {
            slot.state = SlotRemoved;
            slot.handle = kInvalidDevice;
            break; // one slot per event
        }
    }
    if (count == 0) {
        for (DeviceSlot& slot : table_) {
            std::memset(slot.devicePath, 0, kDevicePathSize);
        }
    }
}

HandleEventResult DeviceRegistry::ApplyHandleEvent(DeviceHandle handle, uint32_t code) {
    std::lock_guard lock(mutex_);
    HandleEventResult result;
    DeviceSlot* slot = nullptr;
    for (DeviceSlot& candidate : table_) {
        if (candidate.handle == handle) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr) {
        return result;
    }
    if (code == kDeviceQueryRemove && HasHandle(slot->handle)) {
        --enumerationCount_;
        slot->state = SlotRemoved;
        slot->handle = kInvalidDevice;
        result.queryRemoveHandled = true;
    }
    if ((code == kDeviceQueryRemove || code == kDeviceRemovePending ||
         code == kDeviceRemoveComplete) &&
        HasHandle(slot->handle)) {
        slot->state = SlotRemoved;
        slot->handle = kInvalidDevice;
        --enumerationCount_;
        if (enumerationCount_ == 0) {
            for (DeviceSlot& s : table_) {
                std::memset(s.devicePath, 0, kDevicePathSize);
            }
        }
        result.removeHandled = true;
    }
    result.cancelRegistration =
        code == kDeviceQueryRemove || code == kDeviceRemovePending || code == kDeviceRemoveComplete;
    return result;
}

void DeviceRegistry::ApplySuspendQuery() {
    std::lock_guard lock(mutex_);
    for (DeviceSlot& slot : table_) {
        slot.state = SlotRemoved;
        slot.handle = kInvalidDevice;
    }
}

} // namespace qor
