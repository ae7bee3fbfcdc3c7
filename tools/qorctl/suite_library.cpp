#include "tools/qorctl/suite_library.h"

#include <windows.h>

#include <cstring>
#include <filesystem>

#include "common/suite_key.h"

namespace qorctl {
namespace {

std::filesystem::path OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::filesystem::path() : std::filesystem::path(path).parent_path();
}

bool LoadFrom(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return false;
    }
    // With the altered search path Qor.dll's own libraries (qorimg.dll) come from its folder.
    return LoadLibraryExW((folder / L"Qor.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
}

std::string Narrow(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

bool NeedsDriverLibrary(const char* subcommand) {
    for (const char* name : {"info", "demo", "list", "acquire", "dump-flash", "diagnose"}) {
        if (std::strcmp(subcommand, name) == 0) {
            return true;
        }
    }
    return false;
}

bool LoadDriverLibrary(std::string& error) {
    if (GetModuleHandleW(L"Qor.dll") != nullptr) {
        return true;
    }
    const std::filesystem::path own = OwnFolder();
    if (LoadFrom(own)) {
        return true;
    }
    wchar_t installed[MAX_PATH] = {};
    const bool registered = ReadInstalPath(installed, MAX_PATH);
    if (registered && LoadFrom(installed)) {
        // Later lookups by bare name (the application's binding) find the same suite.
        SetDllDirectoryW(installed);
        return true;
    }
    error = "Qor.dll, the QOR driver library, is neither beside qorctl (" + Narrow(own) + ") nor in " +
            (registered ? "the installation folder " + Narrow(installed) + " (registry value InstalPath)"
                        : std::string("an installation folder: the registry value InstalPath of "
                                      "HKLM\\SOFTWARE\\Halvex Imaging\\QOR is missing")) +
            ". Install the QOR driver suite (DriverInstallation.cmd on the installation medium, or "
            "msiexec /i QOR.msi), or run qorctl from the suite's installation folder.";
    return false;
}

} // namespace qorctl
