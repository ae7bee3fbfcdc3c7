// Asks the TWAIN manager for its first source and prints the source's product name: the
// installation test's proof that the manager finds what the installation put in place.
#include <windows.h>

#include "twain.h"

#include <cstdio>
#include <cstring>

int main() {
    HMODULE manager = LoadLibraryW(L"twain_32.dll");
    if (manager == nullptr) {
        std::fprintf(stderr, "twain_probe: the TWAIN manager twain_32.dll cannot be loaded\n");
        return 2;
    }
    auto entry = reinterpret_cast<DSMENTRYPROC>(
        reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
    if (entry == nullptr) {
        std::fprintf(stderr, "twain_probe: twain_32.dll has no DSM_Entry\n");
        return 2;
    }
    TW_IDENTITY application{};
    application.Version.MajorNum = 1;
    application.ProtocolMajor = 1;
    application.ProtocolMinor = 9;
    application.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(application.Manufacturer, "Halvex Imaging");
    std::strcpy(application.ProductFamily, "QOR tests");
    std::strcpy(application.ProductName, "twain_probe");
    HWND parent = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (entry(&application, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS) {
        std::fprintf(stderr, "twain_probe: the TWAIN manager does not open\n");
        return 1;
    }
    TW_IDENTITY source{};
    const TW_UINT16 found =
        entry(&application, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &source);
    entry(&application, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
    if (found != TWRC_SUCCESS) {
        std::fprintf(stderr, "twain_probe: the TWAIN manager finds no source\n");
        return 1;
    }
    std::printf("%s\n", source.ProductName);
    return 0;
}
