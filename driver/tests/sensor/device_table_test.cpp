// The DeviceTable under the arrival, removal, handle and power events of the notification window.
#include "driver/core/device_table.h"

#include <gtest/gtest.h>

namespace qor {
namespace {

std::vector<int32_t> Status(const DeviceRegistry& registry) {
    std::vector<int32_t> status(kDeviceSlotCount);
    registry.DeviceStatus(status.data());
    return status;
}

TEST(DeviceTable, FirstEnumerationWithoutSensorsRemovesAllSlots) {
    DeviceRegistry registry;
    EXPECT_FALSE(registry.ApplyInitialEnumeration(registry.StoreEnumeration({})));
    EXPECT_EQ(Status(registry), std::vector<int32_t>(8, 0));
    for (int i = 0; i < kDeviceSlotCount; ++i) {
        EXPECT_EQ(registry.Slot(i).state, SlotRemoved);
    }
}

TEST(DeviceTable, FirstEnumerationMakesTheFoundSensorsPresent) {
    DeviceRegistry registry;
    EXPECT_TRUE(registry.ApplyInitialEnumeration(registry.StoreEnumeration({"a", "b"})));
    EXPECT_EQ(Status(registry), (std::vector<int32_t>{1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_STREQ(registry.Slot(1).devicePath, "b");
    EXPECT_EQ(registry.Slot(2).state, SlotEmpty);
}

TEST(DeviceTable, ArrivalFillsEveryQualifyingSlotBelowTheCount) {
    DeviceRegistry registry;
    registry.ApplyInitialEnumeration(registry.StoreEnumeration({})); // all removed, no paths
    registry.ApplyArrival("\\\\?\\USB#S1", registry.StoreEnumeration({"\\\\?\\usb#s1", "x"}));
    EXPECT_EQ(Status(registry), (std::vector<int32_t>{1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_STREQ(registry.Slot(0).devicePath, "\\\\?\\USB#S1");
    EXPECT_STREQ(registry.Slot(1).devicePath, "\\\\?\\USB#S1") << "both slots take the same path";

    // A removed slot whose path is another sensor's is not taken; one with the same path
    // (compared without case) is.
    registry.ApplySuspendQuery();
    registry.ApplyArrival("\\\\?\\usb#s1", 1);
    EXPECT_EQ(Status(registry), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    registry.ApplyArrival("\\\\?\\usb#other", 2);
    EXPECT_EQ(registry.Slot(1).state, SlotRemoved);
}

TEST(DeviceTable, RemovalMarksExactlyOneSlotAndForgetsItsHandle) {
    DeviceRegistry registry;
    registry.ApplyInitialEnumeration(registry.StoreEnumeration({"a", "b", "c"}));
    ASSERT_TRUE(registry.RecordHandle(0x40));
    ASSERT_TRUE(registry.RecordHandle(0x44));
    ASSERT_TRUE(registry.RecordHandle(0x48));
    EXPECT_FALSE(registry.RecordHandle(0x4C)) << "no present slot without a handle";

    // "a" and "c" went away; the walk stops at the first.
    registry.ClearEnumeratedPaths();
    registry.ApplyRemoveComplete(registry.StoreEnumeration({"B"}));
    EXPECT_EQ(registry.Slot(0).state, SlotRemoved);
    EXPECT_EQ(registry.Slot(0).handle, kInvalidDevice);
    EXPECT_EQ(registry.Slot(2).state, SlotPresent);
    EXPECT_EQ(registry.Slot(2).handle, 0x48);

    registry.ClearEnumeratedPaths();
    registry.ApplyRemoveComplete(registry.StoreEnumeration({}));
    for (int i = 0; i < kDeviceSlotCount; ++i) {
        EXPECT_STREQ(registry.Slot(i).devicePath, "") << "no sensor left: all paths emptied";
    }
}

TEST(DeviceTable, HandleEventsRemoveTheSlotOfThatHandle) {
    DeviceRegistry registry;
    registry.ApplyInitialEnumeration(registry.StoreEnumeration({"a", "b"}));
    registry.RecordHandle(0x40);
    registry.RecordHandle(0x44);

    const HandleEventResult unknown = registry.ApplyHandleEvent(0x99, kDeviceRemoveComplete);
    EXPECT_FALSE(unknown.removeHandled || unknown.cancelRegistration);

    const HandleEventResult failed = registry.ApplyHandleEvent(0x40, kDeviceQueryRemoveFailed);
    EXPECT_FALSE(failed.removeHandled || failed.cancelRegistration);
    EXPECT_EQ(registry.Slot(0).state, SlotPresent);

    const HandleEventResult query = registry.ApplyHandleEvent(0x40, kDeviceQueryRemove);
    EXPECT_TRUE(query.queryRemoveHandled);
    EXPECT_FALSE(query.removeHandled) << "the handle is already forgotten for step 3";
    EXPECT_TRUE(query.cancelRegistration);
    EXPECT_EQ(registry.Slot(0).state, SlotRemoved);
    EXPECT_EQ(registry.EnumerationCount(), 1);
    EXPECT_STREQ(registry.Slot(1).devicePath, "b");

    const HandleEventResult complete = registry.ApplyHandleEvent(0x44, kDeviceRemoveComplete);
    EXPECT_TRUE(complete.removeHandled);
    EXPECT_EQ(registry.EnumerationCount(), 0);
    EXPECT_STREQ(registry.Slot(1).devicePath, "") << "count reached 0: paths emptied";
    EXPECT_EQ(Status(registry), std::vector<int32_t>(8, 0));
}

TEST(DeviceTable, SuspendQueryRemovesEverySlotEvenEmptyOnes) {
    DeviceRegistry registry;
    registry.ApplyInitialEnumeration(registry.StoreEnumeration({"a"}));
    registry.RecordHandle(0x40);
    registry.ApplySuspendQuery();
    for (int i = 0; i < kDeviceSlotCount; ++i) {
        EXPECT_EQ(registry.Slot(i).state, SlotRemoved);
        EXPECT_EQ(registry.Slot(i).handle, kInvalidDevice);
    }
    EXPECT_EQ(registry.Slot(-1).state, SlotEmpty) << "out-of-range index reads an empty slot";
    EXPECT_EQ(registry.Slot(8).state, SlotEmpty);
}

} // namespace
} // namespace qor
