// The maker's selected-image queue library, the source's way to the store when QOR APP cannot be
// started. Loaded by full path only (the installation folder, then the source's own), never from
// the search path; its stdcall entry points are exported under decorated names, with the plain
// names as a second try.
#include <cstring>
#include <cwchar>

#include "common/core/log_file.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/source_session.h"
#include "twain_source/win/stavik_queue.h"

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
    wchar_t folder[MAX_PATH] = {};
    std::wstring installation;
    if (ReadInstalPath(folder, MAX_PATH)) installation = std::wstring(folder) + L"\\";
    wchar_t own[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(g_hInstance, own, MAX_PATH);
    if (wchar_t* slash = (n > 0 && n < MAX_PATH) ? wcsrchr(own, L'\\') : nullptr) slash[1] = 0;
    else own[0] = 0;
    HMODULE module = LoadFrom(installation);
    if (module == nullptr) module = LoadFrom(own);
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
