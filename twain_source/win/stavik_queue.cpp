// The maker's selected-image queue library, the source's way to the store when QOR APP cannot be
// started. Loaded by full path only (the suite's folders of the source's width), never from
// the search path; its stdcall entry points are exported under decorated names, with the plain
// names as a second try.
#include <cstring>
#include <cwchar>

#include "common/core/log_file.h"
#include "twain_source/win/stavik_queue.h"
#include "twain_source/win/suite_folder.h"

namespace {

template <typename T>
bool Resolve(HMODULE module, const char* decorated, const char* plain, T& out) {
    FARPROC proc = GetProcAddress(module, decorated);
    if (proc == nullptr) proc = GetProcAddress(module, plain);
    static_assert(sizeof out == sizeof proc);
    std::memcpy(&out, &proc, sizeof out);
    return proc != nullptr;
}

HMODULE LoadFrom(const std::wstring& folder) {
    if (folder.empty()) return nullptr;
    const std::wstring path = folder + L"Stavik.dll";
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return nullptr;
    // Its own imports lie beside it.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

StavikApi g_stavik;

}  // namespace

StavikApi& Stavik() { return g_stavik; }

bool LoadStavik() {
    if (g_stavik.module != nullptr) return true;
    HMODULE module = nullptr;
    for (const std::wstring& folder : SuiteFolderCandidates()) {
        if ((module = LoadFrom(folder)) != nullptr) break;
    }
    if (module == nullptr) {
        TheLogFile().Write(LOG_WARN, "Stavik: Stavik.dll is neither in the installation folder nor beside the source; "
                                     "reinstall the QOR driver suite.\n");
        return false;
    }
    StavikApi api;
    api.module = module;
    const bool complete = Resolve(module, "_InitializeImageQueue@0", "InitializeImageQueue", api.InitializeImageQueue) &&
                          Resolve(module, "_GetTotNumOfSelImages@0", "GetTotNumOfSelImages", api.GetTotNumOfSelImages) &&
                          Resolve(module, "_RemoveOldestSelImg@0", "RemoveOldestSelImg", api.RemoveOldestSelImg) &&
                          Resolve(module, "_FreeImg@4", "FreeImg", api.FreeImg) &&
                          Resolve(module, "_ClearImageQueue@0", "ClearImageQueue", api.ClearImageQueue);
    if (!complete) {
        TheLogFile().Write(LOG_WARN, "Stavik: the queue library lacks an entry point; reinstall the QOR driver suite.\n");
        FreeLibrary(module);
        return false;
    }
    g_stavik = api;
    return true;
}

void UnloadStavik() {
    if (g_stavik.module == nullptr) return;
    FreeLibrary(g_stavik.module);
    g_stavik = StavikApi{};
}
