// The suite's registry key (HKLM\SOFTWARE\Halvex Imaging\QOR) and its folder value "InstalPath",
// read the same way by every program of the suite and by the technician's tool.
#pragma once
#include <windows.h>

#include <vector>

// The views of the key: the program's own, and for a 64-bit program also the 32-bit one, where
// the 32-bit QOR APP and an installation by a 32-bit installer keep it.
std::vector<REGSAM> SuiteRegistryViews();
// The key for reading: the program's own view first.
bool OpenSuiteKey(HKEY* key);
// "InstalPath" without a trailing backslash; false (and an empty text) when missing or not text.
bool ReadInstalPath(wchar_t* folder, DWORD capacity);
