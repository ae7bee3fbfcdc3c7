// Command-line control of the simulated sensors (plug, unplug, expose, faults, list,
// frame-for-seed), for qorsim and for any tool that wants them as subcommands.
#pragma once

#include <CLI/CLI.hpp>

namespace qor::sim {

// Adds the subcommands and a --dir option (default: $QOR_SENSOR_SIMULATOR) to `app`. A command
// that fails prints its reason on stderr and ends with exit code 1.
void AddSimulatorCommands(CLI::App& app);

} // namespace qor::sim
