// QOR APP's installation folder, its start, and who serves its pipe.
#pragma once
#include "twain_source/win/source_session.h"

#include <string>
#include <vector>

enum class StartResult { Started, Failed, NoInstallation };
// The views of the suite's registry key: the source's own, and for a 64-bit source also the
// 32-bit one, where the 32-bit QOR APP and an installation of a 32-bit installer keep it.
std::vector<REGSAM> SuiteRegistryViews();
// The suite's key for reading: the source's own view first.
bool OpenSuiteKey(HKEY* key);
bool ReadInstalPath(wchar_t* folder, DWORD capacity);  // without a trailing backslash
std::wstring QorAppPath();
StartResult StartApplication();
bool StartedAppHasEnded();  // the QOR APP this source started has exited
bool QorAppRuns();          // some QOR APP holds its single-instance mutex
void ForgetStartedApp();
bool ServedByQorApp(HANDLE pipe);
