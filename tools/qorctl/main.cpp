// qorctl: the command-line tool of integrators and service technicians.
#include "tools/qorctl/commands.h"

#include "external/sensor_sim/core/simulator_control.h"
#include "external/sensor_sim/tool/sim_commands.h"
#if defined(_WIN32)
#include "external/sensor_sim/win/device_change_broadcast.h"
#include "tools/qorctl/suite_library.h"
#endif

#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

namespace {

// The simulator folder a `qorctl sim ...` command works on: --dir, else the environment.
std::optional<std::filesystem::path> SimulatorRoot(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0) {
            return std::filesystem::path(argv[i + 1]);
        }
    }
    return qor::sim::SimulatorControl::RootFromEnvironment();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qorctl - drive and inspect the QOR sensor driver library"};
    app.require_subcommand(1);
    // Unix-style paths (under Wine) must never read as Windows-style /options.
    app.allow_windows_style_options(false);
#if defined(QORCTL_CORRECTION)
    qorctl::AddCorrectionCommands(app);
#endif
    qorctl::AddCacheCommands(app);
    qorctl::AddBitmapCommands(app);
    qor::sim::AddSimulatorCommands(*app.add_subcommand(
        "sim", "plug, unplug and expose simulated sensors")->require_subcommand(1));
#if defined(_WIN32)
    qorctl::AddDriverCommands(app);
    qorctl::AddSensorCommands(app);
    qorctl::AddDiagnoseCommand(app);
    qorctl::AddAppCommands(app);
#endif
    // Plugs and unplugs of simulated sensors reach running driver libraries as device-change
    // messages, as a real sensor's would.
    const bool simCommand = argc > 1 && std::strcmp(argv[1], "sim") == 0;
    std::vector<qor::sim::SensorListing> before;
    std::optional<std::filesystem::path> root;
    if (simCommand && (root = SimulatorRoot(argc, argv))) {
        before = qor::sim::SimulatorControl(*root).List();
    }
#if defined(_WIN32)
    // The driver library is bound at its first call: found here, or the command ends with advice.
    std::string missing;
    if (argc > 1 && qorctl::NeedsDriverLibrary(argv[1]) && !qorctl::LoadDriverLibrary(missing)) {
        std::cerr << "qorctl: " << missing << '\n';
        return 3;
    }
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    } catch (const std::exception& error) {
        std::cerr << "qorctl: " << error.what() << '\n';
        return 1;
    }
#if defined(_WIN32)
    if (root) {
        const int told = qor::sim::BroadcastChanges(before, qor::sim::SimulatorControl(*root).List());
        if (told > 0) {
            std::cout << "device change delivered to " << told << " running driver librar"
                      << (told == 1 ? "y" : "ies") << "\n";
        }
    }
#endif
    return 0;
}
