// qorctl: the command-line tool of integrators and service technicians.
#include "tools/qorctl/commands.h"

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"qorctl - drive and inspect the QOR sensor driver library"};
    app.require_subcommand(1);
#if defined(QORCTL_CORRECTION)
    qorctl::AddCorrectionCommands(app);
#endif
#if defined(_WIN32)
    qorctl::AddDriverCommands(app);
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    } catch (const std::exception& error) {
        std::cerr << "qorctl: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
