// The suite's folder ("InstalPath", else the source's own folder; with a trailing separator)
// and a library loaded from there by full path (null and a log line when it cannot be loaded).
// Nothing of the suite is looked up by bare name.
#pragma once
#include <windows.h>

#include <string>

std::wstring SuiteFolder();
HMODULE LoadSuiteLibrary(const std::wstring& folder, const wchar_t* fileName);
