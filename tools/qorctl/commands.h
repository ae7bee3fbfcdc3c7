// The subcommands of qorctl, each group registered by its own file.
#pragma once

#include <CLI/CLI.hpp>

namespace qorctl {

// correct, gen-calibration, gen-raw: portable, in both builds.
void AddCorrectionCommands(CLI::App& app);
// verify-cache: portable.
void AddCacheCommands(CLI::App& app);
// bitmap: the application's bitmap and thumbnail of a corrected frame; portable.
void AddBitmapCommands(CLI::App& app);

#if defined(_WIN32)
// info, demo: through the driver library binding (Windows build only).
void AddDriverCommands(CLI::App& app);
// list, acquire, dump-flash: a sensor through the driver library (Windows build only).
void AddSensorCommands(CLI::App& app);
// diagnose: the read-only health check of a workstation (Windows build only).
void AddDiagnoseCommand(CLI::App& app);
// app stop: ends a running QOR APP as its "Exit QOR" does (Windows build only).
void AddAppCommands(CLI::App& app);
#endif

}  // namespace qorctl
