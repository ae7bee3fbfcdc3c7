// The suite's folder ("InstalPath", else the source's own folder; with a trailing separator)
// and a library loaded from there by full path (null and a log line when it cannot be loaded).
// Nothing of the suite is looked up by bare name.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Where the suite's libraries of the source's own width may lie, in the order they are tried:
// a 64-bit source first tries the installation's "x64" folder (the suite itself is 32-bit),
// then the installation folder (a 64-bit suite), then its own folder.
std::vector<std::wstring> SuiteFolderCandidates();
std::wstring SuiteFolder();
HMODULE LoadSuiteLibrary(const std::wstring& folder, const wchar_t* fileName);
