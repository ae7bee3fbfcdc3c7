// CQor where no Qor.dll can be found: Initialize logs the error code and every wrapper refuses.
#include "app/qor_binding.h"
#include "app/tests/binding_log.h"
#include "driver/win/qor_api.h"

#include <gtest/gtest.h>

namespace {

using Messages = std::vector<std::string>;

TEST(CQorWithoutDriver, InitializeFailsAndEveryWrapperLogsInvalid) {
    NewLogMessages();
    CQor qor;
    EXPECT_EQ(0, qor.Initialize());
    EXPECT_EQ(Messages{"CQor::Initialize: LoadLibrary Failed! Error code = 126."}, NewLogMessages());
    HWInfo info{};
    DriverVersion version{};
    int32_t status = 0;
    int32_t pixel = 0;
    EXPECT_EQ(0, qor.QorInitSystem());
    EXPECT_EQ(0, qor.QorInitSensor());
    EXPECT_EQ(0, qor.QorGetHWInfo(&info));
    EXPECT_EQ(0, qor.QorGetDriverVersion(&version));
    EXPECT_EQ(0, qor.QorAcquireImage());
    EXPECT_EQ(0, qor.QorGetCapStatus(&status));
    EXPECT_EQ(0, qor.QorGetImgData(&pixel, 4));
    EXPECT_EQ(0, qor.QorCancelAcquireImage());
    EXPECT_EQ(0, qor.QorShutDown());
    const Messages expected{
        "CQor::QorInitSystem: QorInitSystem Failed! Invalid pointer or handle!",
        "CQor::QorInitSensor: QorInitSensor Failed! Invalid pointer or handle!",
        "CQor::QorGetHWInfo: Invalid pointer or handle!",
        "CQor::QorGetDriverVersion: Invalid pointer or handle!",
        "CQor::QorAcquireImage: Invalid pointer or handle!",
        "CQor::QorGetCapStatus: Invalid pointer or handle!",
        "CQor::QorGetImgData: Invalid pointer or handle!",
        "CQor::QorCancelAcquireImage: Invalid pointer or handle!",
        "CQor::QorShutDown: QorShutDown API failed!",
    };
    EXPECT_EQ(expected, NewLogMessages());
}

}  // namespace
