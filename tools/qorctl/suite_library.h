// Finding the driver library of the installed suite. qorctl binds Qor.dll at its first call
// (a delay-loaded import), so it starts from any folder; the commands that drive the sensor
// load the library first from qorctl's own folder, else from the installation folder the
// registry names ("InstalPath").
#pragma once

#include <string>

namespace qorctl {

// True when Qor.dll is loaded; otherwise `error` says where it was looked for and what to do.
bool LoadDriverLibrary(std::string& error);

// The subcommands that call into Qor.dll.
bool NeedsDriverLibrary(const char* subcommand);

} // namespace qorctl
