// Finding and loading the installed sources: every *.ds in the Windows folder's twain_32 (32-bit
// build) or twain_64 (64-bit build) and in its subfolders, as the TWAIN 2.x manager looks for them.
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"

#include <string>
#include <vector>

namespace twaindsm {

struct SourceFile {
    std::wstring path;
    TW_IDENTITY identity{}; // as the source answered DAT_IDENTITY MSG_GET; Id is our number
};

struct LoadedSource {
    HMODULE module = nullptr;
    DSENTRYPROC entry = nullptr;
};

// Loads each source found, asks it for its identity and unloads it again; sources that do not
// load or answer are left out. Ids are 1, 2, ... in the order found.
std::vector<SourceFile> FindSources(const TW_IDENTITY& app);

// Loads a source for a session (its own folder first for the libraries it needs).
bool LoadSource(const std::wstring& path, LoadedSource& loaded);
void UnloadSource(LoadedSource& loaded);

// DAT_IDENTITY MSG_GET as the manager asks it: with no origin, as on Windows, unless
// QOR_TWAINDSM_IDENTITY_ORIGIN=app asks for the program's identity as the origin.
TW_UINT16 ReadIdentity(const LoadedSource& loaded, const TW_IDENTITY& app, TW_IDENTITY& identity);

std::string Utf8(const std::wstring& text);

} // namespace twaindsm
