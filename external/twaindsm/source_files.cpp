#include "external/twaindsm/source_files.h"

#include <cstring>

#include "external/twaindsm/triplet_log.h"

namespace twaindsm {

namespace {

constexpr size_t kMostSources = 50;
constexpr int kDeepestFolder = 4;

std::wstring TwainFolder() {
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::wstring(windows) + (sizeof(void*) == 8 ? L"\\twain_64" : L"\\twain_32");
}

bool IsSubfolder(const WIN32_FIND_DATAW& found) {
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0;
}

// The folder's own sources first, then those of its subfolders.
void Scan(const std::wstring& folder, int depth, std::vector<std::wstring>& paths) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.ds").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                paths.push_back(folder + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (depth >= kDeepestFolder)
        return;
    search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsSubfolder(found))
            Scan(folder + L"\\" + found.cFileName, depth + 1, paths);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

std::string Utf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

bool LoadSource(const std::wstring& path, LoadedSource& loaded) {
    loaded.module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (loaded.module == nullptr)
        return false;
    FARPROC proc = GetProcAddress(loaded.module, "DS_Entry");
    // Old sources export their entry by ordinal only.
    if (proc == nullptr)
        proc = GetProcAddress(loaded.module, MAKEINTRESOURCEA(1));
    if (proc == nullptr) {
        UnloadSource(loaded);
        return false;
    }
    static_assert(sizeof loaded.entry == sizeof proc);
    std::memcpy(&loaded.entry, &proc, sizeof proc);
    return true;
}

void UnloadSource(LoadedSource& loaded) {
    if (loaded.module != nullptr)
        FreeLibrary(loaded.module);
    loaded = LoadedSource{};
}

TW_UINT16 ReadIdentity(const LoadedSource& loaded, const TW_IDENTITY& app, TW_IDENTITY& identity) {
    char origin[8] = "";
    GetEnvironmentVariableA("QOR_TWAINDSM_IDENTITY_ORIGIN", origin, sizeof origin);
    const bool fromApp = std::strcmp(origin, "app") == 0;
    TW_IDENTITY appCopy = app;
    const TW_UINT32 id = identity.Id;
    const TW_UINT16 rc =
        loaded.entry(fromApp ? &appCopy : nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
    identity.Id = id;
    LogTriplet("dsm->ds", {DG_CONTROL, DAT_IDENTITY, MSG_GET}, rc,
               "origin=%s ds=%lu product=\"%.34s\" groups=0x%lx protocol=%u.%u",
               fromApp ? "app" : "null", static_cast<unsigned long>(id), identity.ProductName,
               static_cast<unsigned long>(identity.SupportedGroups), identity.ProtocolMajor,
               identity.ProtocolMinor);
    return rc;
}

std::vector<SourceFile> FindSources(const TW_IDENTITY& app) {
    std::vector<std::wstring> paths;
    const std::wstring root = TwainFolder();
    if (!root.empty())
        Scan(root, 0, paths);
    std::vector<SourceFile> sources;
    for (const std::wstring& path : paths) {
        if (sources.size() == kMostSources)
            break;
        LoadedSource loaded;
        if (!LoadSource(path, loaded)) {
            LogLine("scan skipped \"%s\": no DS_Entry", Utf8(path).c_str());
            continue;
        }
        SourceFile source{path, {}};
        source.identity.Id = static_cast<TW_UINT32>(sources.size() + 1);
        const TW_UINT16 rc = ReadIdentity(loaded, app, source.identity);
        UnloadSource(loaded);
        if (rc != TWRC_SUCCESS) {
            LogLine("scan skipped \"%s\": no identity", Utf8(path).c_str());
            continue;
        }
        LogLine("scan found \"%s\" as %lu", Utf8(path).c_str(),
                static_cast<unsigned long>(source.identity.Id));
        sources.push_back(source);
    }
    return sources;
}

} // namespace twaindsm
