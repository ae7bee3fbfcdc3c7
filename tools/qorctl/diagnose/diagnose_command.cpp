// qorctl diagnose: one read-only health check of a workstation for the service technician.
#include "tools/qorctl/commands.h"
#include "tools/qorctl/diagnose/findings.h"
#include "tools/qorctl/diagnose/frame_stats.h"
#include "tools/qorctl/diagnose/sensor_checks.h"
#include "tools/qorctl/diagnose/system_checks.h"

#include <algorithm>
#include <ctime>
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

// Who made the report, where and when: a hand-over needs all three.
nlohmann::json ReportHeader() {
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(computer, &length)) {
        length = 0;
    }
    const std::time_t now = std::time(nullptr);
    char time[32] = {};
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", utc);
    }
    return {{"time", time},
            {"tool", {{"name", "qorctl"}, {"version", QORCTL_VERSION}}},
            {"computer", Utf8(std::wstring(computer, length))}};
}

// The frame's size and statistics. A demo frame is a drawn pattern, not a sensor's picture:
// its uniform rows are no dead lines, so only its levels are measured.
nlohmann::json FrameReport(const TestFrames& frames) {
    nlohmann::json stats = nlohmann::json::object();
    const bool lines = !frames.demo;
    if (!frames.raw.empty()) {
        stats["raw"] = ToJson(MeasureFrame(frames.raw, frames.width, frames.height, 65535), lines);
        stats["calibrated"] = ToJson(
            MeasureFrame(frames.calibrated, frames.width, frames.height, 4095), lines);
    }
    if (!frames.corrected.empty()) {
        stats["corrected"] = ToJson(
            MeasureFrame(frames.corrected, frames.width, frames.height, 4095), lines);
    }
    return {{"width", frames.width},
            {"height", frames.height},
            {"demo", frames.demo},
            {"statistics", stats}};
}

void WriteReport(const std::filesystem::path& dir, nlohmann::json report,
                 const TestFrames& frames) {
    std::filesystem::create_directories(dir);
    nlohmann::json pictures = nlohmann::json::object();
    WritePicture(dir, "raw", frames.raw, frames, pictures);
    WritePicture(dir, "calibrated", frames.calibrated, frames, pictures);
    WritePicture(dir, "corrected", frames.corrected, frames, pictures);
    report["frame"]["pictures"] = pictures;
    std::ofstream out(dir / "report.json");
    out << report.dump(2) << "\n";
    if (!out) {
        throw std::runtime_error("cannot write " + Utf8((dir / "report.json").wstring()));
    }
}

int RunDiagnose(const std::string& reportDir, bool json) {
    nlohmann::json report = ReportHeader();
    if (!json) {
        std::cout << "qorctl " << QORCTL_VERSION << " diagnose on "
                  << report["computer"].get<std::string>() << ", "
                  << report["time"].get<std::string>() << "\n";
    }
    Findings findings;
    const SystemFacts system = CheckSystem(findings);
    const TestFrames frames = CheckSensor(findings, system);
    report.update(findings.ToJson());
    report["frame"] = FrameReport(frames);
    if (json) {
        std::cout << report.dump(2) << "\n";
    } else {
        findings.Print(std::cout);
    }
    if (!reportDir.empty()) {
        try {
            WriteReport(reportDir, report, frames);
            (json ? std::cerr : std::cout) << "report: " << reportDir << "\n";
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
        "diagnose", "read-only health check: versions, registry, QOR APP and who serves its pipe, "
                    "TWAIN source, sensor, calibration, a test image; exit 2 when anything is at "
                    "fault");
    auto report = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("--report", *report, "folder for report.json and the frames as PNG");
    cmd->add_flag("--json", *json, "the report as JSON on stdout instead of lines");
    cmd->callback([report, json] {
        const int code = RunDiagnose(*report, *json);
        if (code != 0) {
            throw CLI::RuntimeError(code);
        }
    });
}

} // namespace qorctl
