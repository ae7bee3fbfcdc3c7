// Installs from the medium as a person does: starts the medium's QorWelcomeScreen.exe in the
// medium's folder, clicks "Install QOR Drivers", answers the result box if one comes, and exits.
// Prints "box: <message>" or "no box"; keeps screenshots of the window and the box.
//   welcome_install_robot MEDIUM_FOLDER
#include "tests/support/ui_robot.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kInstallQor = 1002;
constexpr int kExit = 1003;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: welcome_install_robot MEDIUM_FOLDER\n");
        return 2;
    }
    const std::wstring medium = argv[1];
    std::wstring commandLine = L"\"" + medium + L"\\QorWelcomeScreen.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        medium.c_str(), &startup, &process)) {
        std::fprintf(stderr, "welcome_install_robot: cannot start the welcome screen (error %lu)\n",
                     GetLastError());
        return 1;
    }
    HWND window = ui::WaitForWindow(L"Welcome Screen", 15000, L"QOR_Welcome");
    if (window == nullptr) {
        std::fprintf(stderr, "welcome_install_robot: the welcome screen did not appear\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    Sleep(300);
    ui::SavePng(window, ui::ArtefactDir() + "medium_welcome_screen.png");
    ui::Press(window, kInstallQor);
    // The screen waits up to four times 5 s for a result.
    HWND box = ui::WaitForWindow(L"Installation", 25000);
    if (box != nullptr) {
        Sleep(300);
        ui::SavePng(box, ui::ArtefactDir() + "medium_installation_result.png");
        const std::wstring text = ui::MessageText(box);
        std::string narrow(text.begin(), text.end());
        std::printf("box: %s\n", narrow.c_str());
        ui::Press(box, IDOK);
        ui::WaitGone(box, 5000);
    } else {
        std::printf("no box\n");
    }
    ui::Press(window, kExit);
    const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended ? 0 : 1;
}
