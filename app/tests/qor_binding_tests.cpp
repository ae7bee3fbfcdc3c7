// CQor with the real Qor.dll: the demo cycle in the application's calling order, and the
// shut-down rule.
#include "app/qor_binding.h"
#include "app/tests/binding_log.h"
#include "driver/win/qor_api.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Messages = std::vector<std::string>;

TEST(CQorWithDriver, DemoCycleInTheApplicationsOrder) {
    NewLogMessages();
    CQor qor;
    ASSERT_EQ(1, qor.Initialize());
    auto setDemo = reinterpret_cast<int32_t(WINAPI*)(int32_t)>(
        reinterpret_cast<void*>(GetProcAddress(qor.Library(), "QorSetDemoMode")));
    ASSERT_NE(nullptr, setDemo);
    setDemo(1);
    ASSERT_EQ(1, qor.QorInitSystem());
    EXPECT_EQ(reinterpret_cast<HANDLE>(111), qor.Device());
    EXPECT_EQ(1, qor.QorInitSensor());
    HWInfo info{};
    ASSERT_EQ(1, qor.QorGetHWInfo(&info));
    DriverVersion version{};
    EXPECT_EQ(1, qor.QorGetDriverVersion(&version));
    EXPECT_EQ(5, version.major);
    std::vector<int32_t> buffer(4194304 / 4);
    // One telling pixel per image: patterns 4, 1, 2, 3 from a fresh library.
    struct Probe {
        int x, y;
        int32_t value;
    };
    const Probe probes[] = {{0, 860, 4095}, {600, 430, 2119}, {129, 0, 4095}, {0, 129, 4095}};
    for (const Probe& probe : probes) {
        ASSERT_EQ(1, qor.QorAcquireImage());
        int32_t status = 0;
        ASSERT_EQ(1, qor.QorGetCapStatus(&status));
        ASSERT_EQ(1, status);
        ASSERT_EQ(1, qor.QorGetImgData(buffer.data(), 4194304));
        EXPECT_EQ(probe.value, buffer[size_t(probe.y) * 1201 + probe.x]);
    }
    EXPECT_EQ(1, qor.QorCancelAcquireImage());
    EXPECT_EQ(1, qor.QorShutDown());
    EXPECT_EQ(nullptr, qor.Device());
    EXPECT_EQ(Messages{}, NewLogMessages()) << "a clean cycle logs nothing";
}

TEST(CQorWithDriver, ShutDownClearsTheHandleSoASecondCallOnlyLogs) {
    NewLogMessages();
    CQor qor;
    ASSERT_EQ(1, qor.Initialize());
    EXPECT_EQ(0, qor.QorShutDown());
    EXPECT_EQ(Messages{"CQor::QorShutDown: QorShutDown API failed!"}, NewLogMessages());
    EXPECT_EQ(0, qor.QorGetCapStatus(nullptr));
    EXPECT_EQ(0, qor.QorGetImgData(nullptr, 0));
    EXPECT_EQ((Messages{"CQor::QorGetCapStatus: Invalid pointer or handle!",
                        "CQor::QorGetImgData: Invalid pointer or handle!"}),
              NewLogMessages());
}

}  // namespace
