// qorsim: plug, unplug and expose simulated sensors from the command line.
#include "external/sensor_sim/tool/sim_commands.h"

int main(int argc, char** argv) {
    CLI::App app{"Control of the simulated sensors"};
    app.require_subcommand(1);
    qor::sim::AddSimulatorCommands(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
