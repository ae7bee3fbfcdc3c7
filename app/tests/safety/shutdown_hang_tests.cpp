// "Remove Sensor" while the acquisition thread hangs in a driver call beyond the 12 s wait: the
// driver is not shut down under the running call (the fake Qor.dll beside this program counts
// such shutdowns); the user is told the removal failed, and once the call returns the thread
// ends and the exit shuts the driver down cleanly.
#include "app/qor_app.h"
#include "common/core/log_file.h"
#include "tests/e2e/qor_app_support.h"
#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace {

constexpr int kWaitMs = 30000;

// A visible box of this process with controls (the hidden main dialog has none).
HWND WaitForBox(int timeoutMs) {
    HWND found = nullptr;
    ui::WaitUntil(
        [&] {
            for (HWND window : ui::TopLevelWindows(GetCurrentProcessId())) {
                if (IsWindowVisible(window) && ui::ClassName(window) == L"#32770" &&
                    !ui::Children(window).empty()) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::string Narrow(const std::wstring& text) {
    char narrow[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

TEST(ShutdownAcqSystem, DriverIsNotShutDownUnderAHangingCall) {
    e2e::QorAppRig rig("shutdown_hang");
    // This program lives in a folder of its own (beside the hanging Qor.dll): the language
    // table comes from the build's main folder.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::filesystem::path bin = std::filesystem::path(self).parent_path().parent_path();
    std::filesystem::copy_file(bin / "Language.ini", rig.Work() / "Language.ini",
                               std::filesystem::copy_options::overwrite_existing);
    const std::string logPath = (rig.Work() / "QorAPPLog.txt").string();
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(rig.Work().wstring().c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"QOR test driver release");
    ASSERT_NE(nullptr, release);

    CQorApp* app = nullptr;
    std::thread program([&] {
        CQorApp instance;
        app = &instance;
        instance.DoModal();
        app = nullptr;
    });
    const bool ready = ui::WaitUntil(
        [&] { return app != nullptr && app->Window() != nullptr && app->Status() == QOR_READY; },
        kWaitMs);
    if (!ready) {
        HWND unexpected = WaitForBox(0);
        ADD_FAILURE() << "the sensor did not become ready; a box says: "
                      << (unexpected != nullptr ? Narrow(e2e::QorAppRig::BoxText(unexpected))
                                                : std::string("(none)"));
        if (unexpected != nullptr) {
            ui::Press(unexpected, IDOK);
        }
        PostMessageW(app != nullptr ? app->Window() : nullptr, WM_COMMAND, IDM_EXIT_QOR, 0);
        program.join();
        SetCurrentDirectoryW(previous);
        return;
    }
    HWND mainWindow = app->Window();
    HMODULE driver = GetModuleHandleW(L"Qor.dll");
    ASSERT_NE(nullptr, driver);
    using Count = int (*)();
    const auto shutDownsDuringCall = reinterpret_cast<Count>(
        reinterpret_cast<void*>(GetProcAddress(driver, "FakeQorShutDownsDuringCall")));
    ASSERT_NE(nullptr, shutDownsDuringCall);

    // The thread sits in the hanging status query; Remove Sensor waits 12 s and gives up.
    PostMessageW(mainWindow, WM_COMMAND, IDM_REMOVE_SENSOR, 0);
    HWND box = nullptr;
    ui::WaitUntil([&] { return shutDownsDuringCall() > 0 || (box = WaitForBox(0)) != nullptr; },
                  kWaitMs);
    EXPECT_EQ(0, shutDownsDuringCall()) << "the driver was shut down under a running call";
    box = WaitForBox(kWaitMs);
    ASSERT_NE(nullptr, box) << "the failed removal is reported";
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));

    // The call returns; the thread sees its stop request and ends; the exit shuts down cleanly.
    SetEvent(release);
    PostMessageW(mainWindow, WM_COMMAND, IDM_EXIT_QOR, 0);
    program.join();
    EXPECT_EQ(0, shutDownsDuringCall());
    CloseHandle(release);
    SetCurrentDirectoryW(previous);

    std::ifstream in(logPath);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, log.find("Wait timed out!")) << log;
    EXPECT_NE(std::string::npos, log.find("the driver is not shut down under it")) << log;
    EXPECT_NE(std::string::npos, log.find("ShutdownAcqSystem: Image Acq Thread exited successfully."))
        << log;
}

}  // namespace
