// Command-line control of the simulated sensors.
#include "external/sensor_sim/tool/sim_commands.h"

#include "external/sensor_sim/core/simulator_control.h"

#include <iostream>
#include <sstream>
#include <memory>

namespace qor::sim {
namespace {

struct Options {
    std::string dir;
    // plug
    PlugOptions plug;
    std::string flashFile;
    std::string version = "2.7.1";
    CLI::Option* formatOption = nullptr;
    CLI::Option* widthOption = nullptr;
    CLI::Option* heightOption = nullptr;
    // unplug, expose, faults, frame-for-seed
    std::string name;
    uint32_t seed = 0;
    CLI::Option* seedOption = nullptr;
    std::vector<std::string> faults;
    std::string out;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qorsim: " << message << "\n";
    throw CLI::RuntimeError(1);
}

SimulatorControl Control(const Options& options) {
    if (!options.dir.empty()) {
        return SimulatorControl(options.dir);
    }
    const auto root = SimulatorControl::RootFromEnvironment();
    if (!root) {
        Fail(std::string("no simulator directory: give --dir or set ") +
             kSimulatorEnvironmentVariable);
    }
    return SimulatorControl(*root);
}

void RunPlug(Options& o) {
    unsigned a = 0, b = 0, c = 0;
    char dot1 = 0, dot2 = 0;
    std::istringstream version(o.version);
    if (!(version >> a >> dot1 >> b >> dot2 >> c) || dot1 != '.' || dot2 != '.' || a > 255 ||
        b > 255 || c > 255) {
        Fail("--version wants three numbers 0..255 such as 2.7.1");
    }
    o.plug.version = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c)};
    o.plug.flashFile = o.flashFile;
    if (o.widthOption->count() == 0 && o.heightOption->count() == 0) {
        FitGeometryToSensorType(o.plug.calibration);
    }
    if (o.plug.calibration.legacy && o.formatOption->count() == 0) {
        o.plug.calibration.formatVersion = 2; // the legacy reading uses format-2 headers
    }
    std::string error;
    if (!Control(o).Plug(o.plug, error)) {
        Fail(error);
    }
}

void AddPlug(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand("plug", "plug in a simulated sensor");
    cmd->add_option("--name", o.plug.name, "sensor folder name (default: the imager ID)");
    cmd->add_option("--imager-id", o.plug.calibration.imagerId,
                    "imager ID, sensor type in bits 20..23");
    o.formatOption = cmd->add_option("--format", o.plug.calibration.formatVersion,
                                     "calibration format 1..4 (default 3; 2 with --legacy)")
                         ->check(CLI::Range(1, 4));
    cmd->add_flag("--legacy", o.plug.calibration.legacy, "legacy calibration reading");
    o.widthOption = cmd->add_option("--width", o.plug.calibration.headerWidth,
                                    "width as the header stores it (default: by sensor type)");
    o.heightOption =
        cmd->add_option("--height", o.plug.calibration.height, "rows (default: by sensor type)");
    cmd->add_option("--bad-rows", o.plug.calibration.badRows)->delimiter(',');
    cmd->add_option("--bad-columns", o.plug.calibration.badColumns)->delimiter(',');
    cmd->add_option("--column-corrections", o.plug.calibration.columnCorrections)->delimiter(',');
    cmd->add_option("--defects", o.plug.calibration.defectPixels, "defective pixels");
    cmd->add_option("--seed", o.plug.calibration.seed, "seed of the calibration data");
    cmd->add_option("--flash", o.flashFile, "flash image file instead of a generated one");
    cmd->add_flag("--keep-flash", o.plug.keepFlash, "plug the sensor again with its flash");
    cmd->add_option("--version", o.version, "firmware version bytes a.b.c");
    cmd->callback([&o] { RunPlug(o); });
}

void AddUnplug(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand("unplug", "pull a simulated sensor out");
    cmd->add_option("name", o.name, "sensor name")->required();
    cmd->callback([&o] {
        std::string error;
        if (!Control(o).Unplug(o.name, error)) {
            Fail(error);
        }
    });
}

void AddExpose(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand("expose", "press the X-ray button");
    cmd->add_option("name", o.name, "sensor name (default: the only plugged sensor)");
    o.seedOption = cmd->add_option("--seed", o.seed, "seed of the exposure");
    cmd->callback([&o] {
        std::string error, used;
        uint32_t usedSeed = 0;
        const std::optional<uint32_t> seed =
            o.seedOption->count() > 0 ? std::optional<uint32_t>(o.seed) : std::nullopt;
        if (!Control(o).Expose(o.name, seed, error, &usedSeed, &used)) {
            Fail(error);
        }
        std::cout << used << " seed=" << usedSeed << "\n";
    });
}

void AddFaults(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand(
        "faults", "replace a sensor's injected faults (none given: clear them); each fault is "
                  "command:step:kind[:skip[:count]], steps command|reply|data|closing, kinds "
                  "fail|short|long|unplug");
    cmd->add_option("name", o.name, "sensor name")->required();
    cmd->add_option("fault", o.faults, "faults");
    cmd->callback([&o] {
        std::vector<InjectedFault> faults;
        for (const std::string& text : o.faults) {
            const auto fault = ParseFault(text);
            if (!fault) {
                Fail("bad fault '" + text + "'");
            }
            faults.push_back(*fault);
        }
        std::string error;
        if (!Control(o).SetFaults(o.name, faults, error)) {
            Fail(error);
        }
    });
}

void AddList(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand("list", "list the simulated sensors");
    cmd->callback([&o] {
        for (const SensorListing& s : Control(o).List()) {
            std::cout << s.name << (s.stateReadable ? "" : " state=unreadable")
                      << " plugged=" << s.plugged << " imagerId=" << s.imagerId
                      << " legacy=" << s.legacy << " generation=" << s.generation
                      << " pending=" << s.exposurePending << " faults=" << s.faults
                      << " path=" << s.interfacePath << "\n";
        }
    });
}

void AddFrameForSeed(CLI::App& app, Options& o) {
    CLI::App* cmd = app.add_subcommand("frame-for-seed",
                                       "write the raw frame an exposure with the seed delivers "
                                       "(little-endian int32 per pixel)");
    cmd->alias("frame");
    cmd->add_option("name", o.name, "sensor name (default: the only plugged sensor)");
    cmd->add_option("--seed", o.seed, "seed of the exposure")->required();
    cmd->add_option("--out", o.out, "output file")->required();
    cmd->callback([&o] {
        std::string error;
        if (!Control(o).WriteFrameForSeed(o.name, o.seed, o.out, error)) {
            Fail(error);
        }
    });
}

} // namespace

void AddSimulatorCommands(CLI::App& app) {
    // The options live as long as the program: CLI11 keeps references to them.
    static Options options;
    app.add_option("--dir", options.dir, "simulator directory (default: $QOR_SENSOR_SIMULATOR)");
    AddPlug(app, options);
    AddUnplug(app, options);
    AddExpose(app, options);
    AddFaults(app, options);
    AddList(app, options);
    AddFrameForSeed(app, options);
}

} // namespace qor::sim
