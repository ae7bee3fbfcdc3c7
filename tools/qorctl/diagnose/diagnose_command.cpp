// qorctl diagnose: one read-only health check of a workstation for the service technician.
#include "tools/qorctl/commands.h"
#include "tools/qorctl/diagnose/findings.h"
#include "tools/qorctl/diagnose/frame_stats.h"
#include "tools/qorctl/diagnose/sensor_checks.h"
#include "tools/qorctl/diagnose/system_checks.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>

namespace qorctl {

namespace {

using namespace diagnose;

// The pictures spread each frame's own range over the grey levels.
void WritePicture(const std::filesystem::path& dir, const char* name,
                  const std::vector<int32_t>& frame, const TestFrames& frames,
                  nlohmann::json& pictures) {
    if (frame.empty()) {
        return;
    }
    const auto [lo, hi] = std::minmax_element(frame.begin(), frame.end());
    const std::filesystem::path path = dir / (std::string(name) + ".png");
    if (WriteGreyPng(path, frame, frames.width, frames.height, *lo, std::max(*hi, *lo + 1))) {
        pictures[name] = std::string(name) + ".png";
    } else {
        throw std::runtime_error("cannot write " + Utf8(path.wstring()));
    }
}

void WriteReport(const std::filesystem::path& dir, const Findings& findings,
                 const TestFrames& frames) {
    std::filesystem::create_directories(dir);
    nlohmann::json report = findings.ToJson();
    nlohmann::json pictures = nlohmann::json::object();
    nlohmann::json stats = nlohmann::json::object();
    WritePicture(dir, "raw", frames.raw, frames, pictures);
    WritePicture(dir, "calibrated", frames.calibrated, frames, pictures);
    WritePicture(dir, "corrected", frames.corrected, frames, pictures);
    if (!frames.raw.empty()) {
        stats["raw"] = ToJson(MeasureFrame(frames.raw, frames.width, frames.height, 65535));
        stats["calibrated"] =
            ToJson(MeasureFrame(frames.calibrated, frames.width, frames.height, 4095));
    }
    if (!frames.corrected.empty()) {
        stats["corrected"] =
            ToJson(MeasureFrame(frames.corrected, frames.width, frames.height, 4095));
    }
    report["frame"] = {{"width", frames.width},
                       {"height", frames.height},
                       {"demo", frames.demo},
                       {"statistics", stats},
                       {"pictures", pictures}};
    std::ofstream out(dir / "report.json");
    out << report.dump(2) << "\n";
    if (!out) {
        throw std::runtime_error("cannot write " + Utf8((dir / "report.json").wstring()));
    }
}

int RunDiagnose(const std::string& reportDir) {
    Findings findings;
    const SystemFacts system = CheckSystem(findings);
    const TestFrames frames = CheckSensor(findings, system);
    findings.Print(std::cout);
    if (!reportDir.empty()) {
        try {
            WriteReport(reportDir, findings, frames);
            std::cout << "report: " << reportDir << "\n";
        } catch (const std::exception& error) {
            std::cerr << "qorctl: " << error.what() << ": choose a folder you can write to\n";
            return 1;
        }
    }
    return findings.Worst() == Verdict::Fault ? 2 : 0;
}

} // namespace

void AddDiagnoseCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "diagnose", "read-only health check: versions, registry, QOR APP and its pipe, TWAIN "
                    "source, sensor, calibration, a test image; exit 2 when anything is at fault");
    auto report = std::make_shared<std::string>();
    cmd->add_option("--report", *report, "folder for report.json and the frames as PNG");
    cmd->callback([report] {
        const int code = RunDiagnose(*report);
        if (code != 0) {
            throw CLI::RuntimeError(code);
        }
    });
}

} // namespace qorctl
