// QOR APP's installation folder, its start, and who serves its pipe.
#pragma once
#include "twain_source/win/source_session.h"

#include <string>

enum class StartResult { Started, Failed, NoInstallation };
bool ReadInstalPath(wchar_t* folder, DWORD capacity);  // without a trailing backslash
std::wstring QorAppPath();
StartResult StartApplication();
bool StartedAppHasEnded();  // the QOR APP this source started has exited
bool QorAppRuns();          // some QOR APP holds its single-instance mutex
void ForgetStartedApp();
bool ServedByQorApp(HANDLE pipe);
