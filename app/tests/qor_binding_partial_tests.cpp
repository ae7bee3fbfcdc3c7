// CQor with a driver library that lacks only QorFinishExp: Initialize fails without a log line,
// the library stays loaded and the entries that exist keep working.
#include "app/qor_binding.h"
#include "app/tests/binding_log.h"
#include "driver/win/qor_api.h"

#include <gtest/gtest.h>

namespace {

using Messages = std::vector<std::string>;

TEST(CQorWithPartialDriver, InitializeFailsButTheFoundEntriesWork) {
    NewLogMessages();
    CQor qor;
    EXPECT_EQ(0, qor.Initialize());
    EXPECT_NE(nullptr, qor.Library());
    EXPECT_EQ(nullptr, GetProcAddress(qor.Library(), "QorFinishExp"));
    EXPECT_EQ(Messages{}, NewLogMessages());
    ASSERT_EQ(1, qor.QorInitSystem());
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x51), qor.Device());
    HWInfo info{};
    EXPECT_EQ(1, qor.QorGetHWInfo(&info));
    EXPECT_EQ(640, info.width);
    EXPECT_EQ(0, qor.QorInitSensor()) << "the fake reports no calibration";
    EXPECT_EQ(Messages{"CQor::QorInitSensor: QorInitSensor Failed! QorInitSensor API failed!"},
              NewLogMessages());
    EXPECT_EQ(1, qor.QorShutDown());
}

}  // namespace
