// The folder of the QOR driver suite, where the source finds its helper libraries and
// "Language.ini". A manager loads the source from its TWAIN folder with a plain LoadLibrary, and
// the imaging program's folder holds none of the suite, so nothing is looked up by bare name.
#include <string>

#include "common/core/log_file.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/source_session.h"
#include "twain_source/win/suite_folder.h"

namespace {

bool HasFile(const std::wstring& folder, const wchar_t* name) {
    const DWORD attributes = GetFileAttributesW((folder + name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring WithSeparator(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder;
}

// "InstalPath" as the installation wrote it; empty when missing or unusable.
std::wstring InstallationFolder() {
    wchar_t value[MAX_PATH] = {};
    return ReadInstalPath(value, MAX_PATH) ? WithSeparator(value) : std::wstring();
}

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(g_hInstance, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return {};
    slash[1] = 0;
    return path;
}

}  // namespace

std::vector<std::wstring> SuiteFolderCandidates() {
    // The installation folder first (the source itself lies in the TWAIN folder), then the
    // source's own folder (a suite run from its build or copied as a whole).
    const std::wstring installed = InstallationFolder();
    std::vector<std::wstring> folders;
    if constexpr (sizeof(void*) == 8) {
        if (!installed.empty()) folders.push_back(installed + L"x64\\");
    }
    for (const std::wstring& folder : {installed, OwnFolder()}) {
        if (!folder.empty()) folders.push_back(folder);
    }
    return folders;
}

std::wstring SuiteFolder() {
    for (const std::wstring& folder : SuiteFolderCandidates()) {
        if (HasFile(folder, L"Orbel.dll")) return folder;
    }
    TheLogFile().Write(LOG_WARN, "SuiteFolder: neither InstalPath nor the source's own folder holds Orbel.dll; "
                                 "install the QOR driver suite again.\n");
    const std::wstring installed = InstallationFolder();
    return installed.empty() ? OwnFolder() : installed;
}

HMODULE LoadSuiteLibrary(const std::wstring& folder, const wchar_t* fileName) {
    const std::wstring path = folder + fileName;
    // With the altered search path the library's own imports come from its folder too.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        char ansi[MAX_PATH * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi, sizeof ansi - 1, nullptr, nullptr);
        TheLogFile().WriteFormat(LOG_WARN, "LoadSuiteLibrary: %s cannot be loaded (error %d); install the QOR driver suite again.\n",
                                 ansi, static_cast<int>(error));
    }
    return module;
}
