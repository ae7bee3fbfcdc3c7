// qorctl correct, gen-calibration and gen-raw: the driver's frame correction on files, and the
// generated calibration images and raw phantom frames of the test data.
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "frame_files.h"
#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "driver/core/sensor_type_table.h"
#include "external/sensor_sim/core/test_data.h"
#include "imageproc/core/qor_image_proc.h"

namespace qorctl {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qorctl: " << message << "\n";
    throw CLI::RuntimeError(1);
}

// Runs a command body; anything unexpected becomes a message and a non-zero exit.
template <typename Body> void Guarded(Body body) {
    try {
        body();
    } catch (const CLI::Error&) {
        throw;
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}

std::vector<uint8_t> ReadCalibrationImage(const std::string& path) {
    std::vector<uint8_t> image;
    std::string error;
    if (!ReadBytes(path, image, error)) {
        Fail(error);
    }
    if (image.size() != qor::kCalibrationImageSize) {
        Fail(path + ": a calibration image has " + std::to_string(qor::kCalibrationImageSize) +
             " bytes, this file has " + std::to_string(image.size()));
    }
    return image;
}

void PrintNotice(const qor::UserNotice& notice) {
    std::cout << "warning: " << notice.title << ": " << notice.text << "\n";
}

struct CorrectOptions {
    std::string calibration;
    std::string raw;
    std::string out;
    bool legacy = false;
    int32_t processFlag = 1;
    uint32_t threshold = 1023;
};

void RunCorrect(const CorrectOptions& o) {
    const fs::path out(o.out);
    fs::path pgm = out;
    pgm.replace_extension(".pgm");
    if (pgm == out) {
        Fail(o.out + ": the output frame would be overwritten by its PGM; choose another name");
    }
    const std::vector<uint8_t> image = ReadCalibrationImage(o.calibration);
    std::vector<int32_t> frame;
    std::string error;
    if (!ReadRawFrame(o.raw, frame, error)) {
        Fail(error);
    }

    auto calibration = std::make_unique<qor::Calibration>();
    const bool loaded = o.legacy ? qor::LoadLegacyCalibration(*calibration, image.data())
                                 : qor::LoadCalibration(*calibration, image.data(), PrintNotice);
    if (!loaded) {
        Fail(o.calibration + ": calibration rejected (its geometry does not fit a 2 MiB image)");
    }
    const qor::CalibrationSet& set = calibration->set;
    if (!o.legacy && set.formatVersion >= 3 &&
        qor::CalibrationChecksum(image.data()) != image.back()) {
        std::cout
            << "warning: " << o.calibration
            << ": checksum byte does not match (the driver would reject it as a cache file)\n";
    }
    const size_t expected = static_cast<size_t>(set.width) * static_cast<size_t>(set.height);
    if (frame.size() != expected) {
        Fail(o.raw + ": " + std::to_string(frame.size()) + " values, but the calibration is " +
             std::to_string(set.width) + " x " + std::to_string(set.height) + " = " +
             std::to_string(expected));
    }

    qor::CorrectionServices services;
    services.enhance = &QorImageProc1;
    services.runParts = &QorRunParts;
    services.notify = PrintNotice;
    const bool corrected =
        o.legacy ? qor::CorrectLegacyFrame(frame.data(), frame.size(), *calibration, o.processFlag)
                 : qor::CorrectFrame(frame.data(), frame.size(), *calibration, o.threshold,
                                     o.processFlag, services);
    if (!corrected) {
        Fail("the frame does not match the calibration geometry");
    }
    if (!WriteRawFrame(out, frame.data(), frame.size())) {
        Fail(o.out + ": cannot write");
    }
    if (!WritePgm(pgm, frame.data(), set.width, set.height)) {
        Fail(pgm.string() + ": cannot write");
    }
    std::cout << "corrected " << set.width << " x " << set.height << " frame: " << o.out << ", "
              << pgm.string() << "\n";
}

struct GenCalibrationOptions {
    qor::testdata::CalibrationParams params;
    std::string out;
};

void RunGenCalibration(GenCalibrationOptions o) {
    qor::testdata::CalibrationParams& p = o.params;
    if (p.badRows.size() > qor::kMaxBadLines) {
        Fail("at most " + std::to_string(qor::kMaxBadLines) + " bad rows fit the header");
    }
    const size_t columnSlots = p.legacy ? qor::kMaxLegacyBadColumns : qor::kMaxBadLines;
    if (p.badColumns.size() > columnSlots) {
        Fail("at most " + std::to_string(columnSlots) + " bad columns fit the header");
    }
    if (!p.columnCorrections.empty() && !p.legacy) {
        Fail("--column-corrections belongs to --legacy images");
    }
    if (p.columnCorrections.size() > p.badColumns.size()) {
        Fail("one column correction per bad column at most");
    }
    // Geometry of the sensor type; types 3 and 4 store width - 500 (not in the legacy reading).
    const qor::SensorGeometry geometry = qor::SensorTypeTable(p.imagerId);
    const uint32_t type = qor::SensorTypeOf(p.imagerId);
    p.height = geometry.height;
    p.headerWidth = geometry.width - ((!p.legacy && (type == 3 || type == 4)) ? 500 : 0);
    const std::vector<uint8_t> image = qor::testdata::MakeCalibrationImage(p);
    if (!WriteBytes(o.out, image.data(), image.size())) {
        Fail(o.out + ": cannot write");
    }
    std::cout << "calibration image format " << p.formatVersion << (p.legacy ? " (legacy)" : "")
              << ", imager ID " << p.imagerId << ", " << geometry.width << " x " << geometry.height
              << ": " << o.out << "\n";
}

struct GenRawOptions {
    std::string calibration;
    std::string out;
    uint32_t seed = 1;
    bool legacy = false;
};

void RunGenRaw(const GenRawOptions& o) {
    const std::vector<uint8_t> image = ReadCalibrationImage(o.calibration);
    const std::vector<int32_t> raw = qor::testdata::MakeRawFrame(image, o.seed, o.legacy);
    if (raw.empty()) {
        Fail(o.calibration + ": the header holds no geometry that fits the image");
    }
    if (!WriteRawFrame(o.out, raw.data(), raw.size())) {
        Fail(o.out + ": cannot write");
    }
    std::cout << "raw frame of " << raw.size() << " values (seed " << o.seed << "): " << o.out
              << "\n";
}

} // namespace

void AddCorrectionCommands(CLI::App& app) {
    auto correct = std::make_shared<CorrectOptions>();
    CLI::App* c = app.add_subcommand("correct", "Correct a raw frame with a calibration image");
    c->add_option("--calibration", correct->calibration, "2 MiB calibration image")->required();
    c->add_option("--raw", correct->raw, "raw frame (little-endian int32 values)")->required();
    c->add_flag("--legacy", correct->legacy, "legacy calibration reading and correction");
    c->add_option("--process-flag", correct->processFlag, "0: no calibration, 1: with enhancement")
        ->capture_default_str();
    c->add_option("--threshold", correct->threshold, "under-exposure threshold")
        ->capture_default_str();
    c->add_option("--out", correct->out, "corrected frame; a PGM is written beside it")->required();
    c->callback([correct] { Guarded([&] { RunCorrect(*correct); }); });

    auto gen = std::make_shared<GenCalibrationOptions>();
    gen->params.imagerId = 0x00200123;
    CLI::App* g = app.add_subcommand("gen-calibration", "Generate a calibration image");
    g->add_option("--format", gen->params.formatVersion, "format version 1..4")
        ->required()
        ->check(CLI::Range(1, 4));
    g->add_flag("--legacy", gen->params.legacy, "per-pixel table in the legacy reading");
    g->add_option("--imager-id", gen->params.imagerId, "imager ID (sensor type in bits 20..23)")
        ->capture_default_str();
    g->add_option("--bad-rows", gen->params.badRows, "bad rows, ascending")->delimiter(',');
    g->add_option("--bad-columns", gen->params.badColumns, "bad columns, ascending")
        ->delimiter(',');
    g->add_option("--column-corrections", gen->params.columnCorrections,
                  "legacy: correction added to each bad column")
        ->delimiter(',');
    g->add_option("--defects", gen->params.defectPixels, "defective pixels")
        ->capture_default_str()
        ->check(CLI::Range(0, 100000));
    g->add_option("--seed", gen->params.seed, "seed of the sensor's response")
        ->capture_default_str();
    g->add_option("--out", gen->out, "calibration image file")->required();
    g->callback([gen] { Guarded([&] { RunGenCalibration(*gen); }); });

    auto raw = std::make_shared<GenRawOptions>();
    CLI::App* r = app.add_subcommand("gen-raw", "Generate a raw phantom frame for a calibration");
    r->add_option("--calibration", raw->calibration, "2 MiB calibration image")->required();
    r->add_option("--seed", raw->seed, "seed of the exposure")->capture_default_str();
    r->add_flag("--legacy", raw->legacy, "calibration in the legacy reading");
    r->add_option("--out", raw->out, "raw frame file")->required();
    r->callback([raw] { Guarded([&] { RunGenRaw(*raw); }); });
}

} // namespace qorctl
