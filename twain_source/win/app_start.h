// QOR APP's installation folder, its start, and who serves its pipe.
#pragma once
#include "common/suite_key.h"
#include "twain_source/win/source_session.h"

#include <string>
#include <vector>

enum class StartResult { Started, Failed, NoInstallation };
std::wstring QorAppPath();
StartResult StartApplication();
bool StartedAppHasEnded();  // the QOR APP this source started has exited
bool QorAppRuns();          // some QOR APP holds its single-instance mutex
void ForgetStartedApp();
bool ServedByQorApp(HANDLE pipe);
