// QorWelcomeScreen.exe driven by the UI robot from the medium's folder (a folder with blanks in
// its name, holding stand-in scripts that leave marks): layout in pixels, the three buttons, the
// result read only when the installation has ended (absent, written while it ran, added to by a
// later run, unreadable), and a script that is missing.
#include "tests/support/ui_robot.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kPDF = 1001, kInstallQor = 1002, kExit = 1003, kLabel2 = 1004, kLabel1 = 1005;
const fs::path kResultFile = L"C:\\qor\\result.txt";

class WelcomeScreen : public testing::Test {
protected:
    void SetUp() override {
        m_medium = fs::temp_directory_path() / L"qor welcome medium";
        fs::remove_all(m_medium);
        fs::create_directories(m_medium);
        fs::remove(kResultFile);
        fs::create_directories(kResultFile.parent_path());
    }
    void TearDown() override {
        if (m_process.hProcess != nullptr) {
            if (WaitForSingleObject(m_process.hProcess, 5000) != WAIT_OBJECT_0) {
                TerminateProcess(m_process.hProcess, 1);
            }
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
        fs::remove(kResultFile);
    }

    // The stand-in installation runs until the test lets it end (the file "finish").
    void WriteScripts() {
        std::ofstream(m_medium / L"DriverInstallation.cmd")
            << "@echo off\r\necho run>>\"%~dp0install_runs.txt\"\r\n"
               ":wait\r\nif exist \"%~dp0finish\" goto done\r\nping -n 2 127.0.0.1 >nul\r\n"
               "goto wait\r\n:done\r\ndel \"%~dp0finish\"\r\n";
        std::ofstream(m_medium / L"openPDF.bat") << "@echo off\r\necho opened>\"%~dp0pdf_opened.txt\"\r\n";
    }

    // Starts the program in the medium's folder and waits for its window.
    HWND Start() {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const fs::path program = fs::path(self).parent_path() / L"QorWelcomeScreen.exe";
        std::wstring commandLine = L"\"" + program.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   m_medium.wstring().c_str(), &startup, &m_process));
        HWND window = ui::WaitForWindow(L"Welcome Screen", 10000, L"QOR_Welcome");
        EXPECT_NE(nullptr, window);
        return window;
    }

    void LetInstallationEnd() const { std::ofstream(m_medium / L"finish") << "go"; }
    bool InstallationEnded() const { return !fs::exists(m_medium / L"finish"); }

    int InstallRuns() const {
        std::ifstream runs(m_medium / L"install_runs.txt");
        int count = 0;
        for (std::string line; std::getline(runs, line);) {
            ++count;
        }
        return count;
    }

    fs::path m_medium;
    PROCESS_INFORMATION m_process{};
};


// Waits for a box, checks its message, keeps a screenshot and presses OK.
void AnswerBox(const wchar_t* title, const std::wstring& text, const std::string& picture,
               int timeoutMs) {
    HWND box = ui::WaitForWindow(title, timeoutMs);
    ASSERT_NE(nullptr, box) << "no box titled " << testing::PrintToString(std::wstring(title));
    EXPECT_EQ(text, ui::MessageText(box));
    Sleep(300);  // drawn completely before the picture is taken
    EXPECT_TRUE(ui::SavePng(box, ui::ArtefactDir() + picture));
    ui::Press(box, IDOK);
    EXPECT_TRUE(ui::WaitGone(box, 5000));
}

void WriteResult(const std::string& content) {
    std::ofstream(kResultFile, std::ios::binary) << content;
}

TEST_F(WelcomeScreen, LayoutInPixelsButtonsAndMissingScripts) {
    HWND window = Start();
    ASSERT_NE(nullptr, window);
    const RECT client = ui::ClientRect(window);
    EXPECT_EQ(748, client.right);  // 11220 x 2790 twips at 15 twips a pixel
    EXPECT_EQ(186, client.bottom);
    const struct {
        int id;
        const wchar_t* className;
        const wchar_t* text;
        RECT rect;
    } controls[] = {
        {kPDF, L"Button", L"Installation Instructions", {392, 80, 489, 113}},
        {kInstallQor, L"Button", L"Install QOR Drivers", {504, 80, 601, 113}},
        {kExit, L"Button", L"Exit", {616, 80, 713, 113}},
        {kLabel2, L"Static", L"For use on: Windows 11, 10, 8.1, 7, Vista", {400, 40, 721, 57}},
        {kLabel1, L"Static", L"Please call Technical Support if you need assistance 1-800-555-0142.",
         {392, 144, 729, 161}},
    };
    const auto children = ui::Children(window);
    ASSERT_EQ(5u, children.size());
    for (size_t i = 0; i < 5; ++i) {
        const auto& c = controls[i];
        HWND control = ui::Child(window, c.id);
        ASSERT_NE(nullptr, control) << c.id;
        EXPECT_EQ(control, children[i]) << "creation and tab order";
        EXPECT_EQ(0, lstrcmpiW(c.className, ui::ClassName(control).c_str()));
        EXPECT_EQ(c.text, ui::Text(control));
        const RECT rect = ui::RectInParent(control);
        EXPECT_EQ(c.rect.left, rect.left) << c.id;
        EXPECT_EQ(c.rect.top, rect.top) << c.id;
        EXPECT_EQ(c.rect.right, rect.right) << c.id;
        EXPECT_EQ(c.rect.bottom, rect.bottom) << c.id;
    }
    Sleep(300);
    EXPECT_TRUE(ui::SavePng(window, ui::ArtefactDir() + "welcome_screen.png"));

    // No scripts in the folder: each button says so instead of silently doing nothing.
    ui::Press(window, kInstallQor);
    AnswerBox(L"Installation Problem",
              L"Unable to start " + m_medium.wstring() +
                  L"\\DriverInstallation.cmd. Start QorWelcomeScreen.exe from the folder of the "
                  L"installation medium, or run the script from there yourself.",
              "welcome_script_missing.png", 10000);
    ui::Press(window, kPDF);
    AnswerBox(L"Installation Problem",
              L"Unable to start " + m_medium.wstring() +
                  L"\\openPDF.bat. Start QorWelcomeScreen.exe from the folder of the "
                  L"installation medium, or run the script from there yourself.",
              "welcome_pdf_missing.png", 10000);

    WriteScripts();
    ui::Press(window, kPDF);
    EXPECT_TRUE(ui::WaitUntil([&] { return fs::exists(m_medium / L"pdf_opened.txt"); }, 10000));
    ui::Press(window, kExit);
    EXPECT_TRUE(ui::WaitGone(window, 5000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, 5000));
}

TEST_F(WelcomeScreen, ResultReadWhenTheInstallationEndsAddedToAndUnreadable) {
    WriteScripts();
    HWND window = Start();
    ASSERT_NE(nullptr, window);
    HWND install = ui::Child(window, kInstallQor);

    // A long installation (ending a running QOR APP may take 30 s): no verdict while it runs,
    // even from a result file it has written already; the window answers meanwhile.
    ui::Press(window, kInstallQor);
    EXPECT_TRUE(ui::WaitUntil([&] { return InstallRuns() == 1; }, 5000));
    EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindowEnabled(install); }, 2000));
    EXPECT_EQ(L"Welcome Screen", ui::Text(window)) << "the window handles messages while it waits";
    ui::Press(window, kInstallQor);  // ignored: one installation at a time
    WriteResult("Copying the driver files failed.\r\nRun the installation as administrator.\r\n");
    EXPECT_EQ(nullptr, ui::WaitForWindow(L"Installation", 8000));
    EXPECT_FALSE(IsWindowEnabled(install));
    LetInstallationEnd();
    const std::wstring first =
        L"Copying the driver files failed.\r\nRun the installation as administrator.\r\n";
    AnswerBox(L"Installation Error", first, "welcome_installation_error.png", 8000);
    EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(install) != FALSE; }, 3000));
    EXPECT_EQ(1, InstallRuns());

    // Ended without a result file: success, no box.
    fs::remove(kResultFile);
    LetInstallationEnd();
    ui::Press(window, kInstallQor);
    EXPECT_TRUE(ui::WaitUntil([&] { return InstallationEnded(); }, 8000));
    EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(install) != FALSE; }, 3000));
    EXPECT_EQ(nullptr, ui::WaitForWindow(L"Installation", 2000));

    // A third run: the old text again with the new lines added.
    WriteResult("The TWAIN source could not be installed.\r\n");
    LetInstallationEnd();
    ui::Press(window, kInstallQor);
    AnswerBox(L"Installation Error", first + L"The TWAIN source could not be installed.\r\n",
              "welcome_installation_error_second.png", 8000);

    // A result file that cannot be read: the problem box once, then the waiting ends.
    HANDLE lock = CreateFileW(kResultFile.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    LetInstallationEnd();
    ui::Press(window, kInstallQor);
    AnswerBox(L"Installation Problem", L"Unable to open the file C:\\qor\\result.txt",
              "welcome_result_unreadable.png", 8000);
    EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(install) != FALSE; }, 3000));
    EXPECT_EQ(nullptr, ui::WaitForWindow(L"Installation", 3000));
    CloseHandle(lock);
    EXPECT_EQ(4, InstallRuns());

    // Exit while the installation runs: the program ends at once (the script goes on).
    fs::remove(kResultFile);
    ui::Press(window, kInstallQor);
    Sleep(1000);
    ui::Press(window, kExit);
    EXPECT_TRUE(ui::WaitGone(window, 3000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_process.hProcess, 3000));
    LetInstallationEnd();
}

}  // namespace
