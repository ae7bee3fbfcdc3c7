// The sensor side of a diagnosis. Nothing is changed: the sensor is opened with the current
// folder set to a private temporary folder, so that the calibration cache file Qor.dll writes
// there (a copy of the flash) goes with that folder; the test image needs no exposure; the
// corrections are recomputed here from that copy of the flash.
#include "tools/qorctl/diagnose/sensor_checks.h"

#include "driver/core/calibration_cache.h"
#include "driver/core/calibration_record.h"
#include "driver/core/flat_field.h"
#include "driver/core/frame_correction.h"
#include "driver/win/qor_api.h"
#include "driver/win/win32_device_io.h"
#include "external/sensor_sim/core/sim_device_io.h"
#include "tools/qorctl/frame_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

namespace qorctl::diagnose {

namespace {

namespace fs = std::filesystem;
constexpr int32_t kBufferBytes = 4194304;
constexpr char kReplug[] = "unplug the sensor, wait 5 s, plug it into another USB port (no hub)";
constexpr char kService[] = "the sensor needs service (a new calibration): call the supplier";

std::string List(const std::vector<int32_t>& values) {
    if (values.empty()) {
        return "none";
    }
    std::ostringstream out;
    for (size_t i = 0; i < values.size(); ++i) {
        out << (i ? "," : "") << values[i];
    }
    return out.str();
}

// Slots as the library's notification thread sees them, interfaces as the device access does.
int CheckSlots(Findings& f) {
    HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    QorInitEventNotification(changed);
    WaitForSingleObject(changed, 2000); // the first enumeration
    CloseHandle(changed);
    int32_t status[8] = {};
    QorGetDeviceStatus(status);
    int first = -1;
    std::string slots;
    for (int i = 0; i < 8; ++i) {
        slots += status[i] ? "P" : "-";
        if (status[i] && first < 0) {
            first = i;
        }
    }
    std::unique_ptr<qor::DeviceIo> io = qor::sim::SimDeviceIo::FromEnvironment();
    if (!io) {
        io = std::make_unique<Win32DeviceIo>();
    }
    std::vector<std::string> paths;
    io->EnumerateInterfaces(paths);
    f.Add("sensor", "USB interfaces",
          std::to_string(paths.size()) +
              (paths.empty() ? "" : " (" + paths.front() + (paths.size() > 1 ? ", ..." : "") + ")"),
          paths.size() > 8 ? Verdict::Warning : Verdict::Ok,
          paths.size() > 8 ? "only eight sensors can be used: unplug the others" : "");
    if (first < 0) {
        f.Add("sensor", "sensor slots", slots + " (no sensor)", Verdict::Warning,
              std::string("no sensor found: ") + kReplug +
                  "; the rest is checked with a demo frame");
    } else {
        f.Add("sensor", "sensor slots", slots + " (sensor in slot " + std::to_string(first) + ")");
    }
    return first;
}

// The calibration cache QOR APP uses (in its folder) against the flash just read.
void CheckCache(Findings& f, const std::vector<uint8_t>& flash, int32_t formatVersion,
                uint32_t imagerId, const SystemFacts& system) {
    const std::string name = qor::CacheFileName(imagerId);
    if (!system.installFolder) {
        f.Add("sensor", "calibration cache", name + ": no installation folder to look in",
              Verdict::Warning);
        return;
    }
    const fs::path cache = *system.installFolder / name;
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadBytes(cache, bytes, error)) {
        f.Add("sensor", "calibration cache",
              name + " not made yet (QOR APP makes it at its next start)");
        return;
    }
    const bool checked = formatVersion >= 3;
    const bool whole = bytes.size() >= qor::kCalibrationImageSize;
    const bool valid = whole && (!checked || qor::CalibrationChecksum(bytes.data()) ==
                                                 bytes[qor::kCalibrationImageSize - 1]);
    const std::string advice =
        "delete " + Utf8(cache.wstring()) + "; Qor.dll reads the flash again at the next start";
    if (!valid) {
        f.Add("sensor", "calibration cache", name + (whole ? ": checksum wrong" : ": too short"),
              Verdict::Fault, advice);
    } else if (!std::equal(flash.begin(), flash.end(), bytes.begin())) {
        f.Add("sensor", "calibration cache", name + ": differs from the sensor's flash",
              Verdict::Warning, advice);
    } else {
        f.Add("sensor", "calibration cache",
              name + ": equals the flash" + (checked ? ", checksum right" : ""));
    }
}

// Arms for the sensor's test image (no exposure needed) and reads it raw.
bool TestImage(Findings& f, HANDLE device, std::vector<int32_t>& raw, int32_t count) {
    if (!KelvoAcquireTestImage(device)) {
        f.Add("acquisition", "test image", "the sensor could not be armed", Verdict::Fault,
              kReplug);
        return false;
    }
    int32_t status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (status != 1) {
        if (!QorGetCapStatus(device, &status)) {
            f.Add("acquisition", "test image", "the sensor does not answer its status query",
                  Verdict::Fault, kReplug);
            return false;
        }
        if (status != 1 && std::chrono::steady_clock::now() > deadline) {
            QorCancelAcquireImage(device);
            f.Add("acquisition", "test image", "no test image within 5 s", Verdict::Fault, kReplug);
            return false;
        }
        if (status != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    raw.assign(size_t(kBufferBytes / 4), 0);
    if (!KelvoGetRawImgData(device, count * 4, raw.data(), 0)) {
        f.Add("acquisition", "test image", "the read-out failed", Verdict::Fault,
              std::string("check the USB cable; ") + kReplug);
        return false;
    }
    raw.resize(size_t(count));
    return true;
}

std::string Describe(const FrameStats& s) {
    char text[200];
    std::snprintf(text, sizeof text, "mean %.1f, noise %.1f, saturated %.2f %%", s.mean, s.noise,
                  100.0 * s.saturatedFraction);
    return text;
}

// Lines the raw frame shows dead, against those the calibration's line repair mends.
void CheckDeadLines(Findings& f, const FrameStats& raw, const qor::CalibrationSet& set) {
    const std::vector<int32_t> repairedRows(
        set.badRows, set.badRows + std::clamp(set.badRowCount, 0, qor::kMaxBadLines));
    const std::vector<int32_t> repairedColumns(
        set.badColumns, set.badColumns + std::clamp(set.badColumnCount, 0, qor::kMaxBadLines));
    const auto unrepaired = [](const std::vector<int32_t>& dead,
                               const std::vector<int32_t>& repaired) {
        return std::count_if(dead.begin(), dead.end(), [&repaired](int32_t line) {
            return std::find(repaired.begin(), repaired.end(), line) == repaired.end();
        });
    };
    const auto rows = unrepaired(raw.deadRows, repairedRows);
    const auto columns = unrepaired(raw.deadColumns, repairedColumns);
    const bool allRepaired = rows == 0 && columns == 0;
    f.Add("acquisition", "dead lines",
          "rows " + List(raw.deadRows) + ", columns " + List(raw.deadColumns) +
              "; the line repair mends rows " + List(repairedRows) + ", columns " +
              List(repairedColumns),
          allRepaired ? Verdict::Ok : Verdict::Warning,
          allRepaired ? ""
                      : std::to_string(rows) + " row(s) and " + std::to_string(columns) +
                            " column(s) are dead but not repaired: " + kService);
}

void MeasureSensorFrames(Findings& f, TestFrames& frames, const qor::Calibration& calibration) {
    const qor::CalibrationSet& set = calibration.set;
    const FrameStats raw = MeasureFrame(frames.raw, frames.width, frames.height, 65535);
    const bool empty = raw.mean < 1.0;
    f.Add("acquisition", "test image (raw)", Describe(raw), empty ? Verdict::Fault : Verdict::Ok,
          empty ? std::string("the sensor delivers an empty frame: ") + kService : "");
    char saturation[40];
    std::snprintf(saturation, sizeof saturation, "%.2f %% of the raw pixels",
                  100.0 * raw.saturatedFraction);
    f.Add("acquisition", "saturation", saturation,
          raw.saturatedFraction > 0.01 ? Verdict::Warning : Verdict::Ok,
          raw.saturatedFraction > 0.01 ? std::string("many saturated pixels: ") + kService : "");
    CheckDeadLines(f, raw, set);

    frames.calibrated = frames.raw;
    if (set.formatVersion >= 3 && set.Corrects()) {
        qor::ApplyGainOffsetCorrection(frames.calibrated.data(), set);
    } else if (set.correctionMap && set.formatVersion < 3) {
        qor::ApplyGainCorrection(frames.calibrated.data(), set);
    }
    qor::CorrectionServices services;
    services.enhance = reinterpret_cast<qor::EnhanceFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"qorimg.dll"), "QorImageProc1")));
    frames.corrected = frames.raw;
    qor::CorrectFrame(frames.corrected.data(), frames.corrected.size(), calibration, 0, 1,
                      services);
    f.Add("acquisition", "test image (corrected)",
          Describe(MeasureFrame(frames.corrected, frames.width, frames.height, 4095)));
}

// Opens the sensor with the current folder in a private temporary folder; everything Qor.dll
// writes there goes with the folder.
TestFrames SensorPath(Findings& f, int slot, const SystemFacts& system) {
    TestFrames frames;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const fs::path work =
        fs::path(temp) / ("qor-diagnose-" + std::to_string(GetCurrentProcessId()));
    std::error_code ec;
    fs::create_directories(work, ec);
    const fs::path before = fs::current_path(ec);
    fs::current_path(work, ec);
    if (ec) {
        f.Add("sensor", "sensor", "no temporary folder to open it in (" + ec.message() + ")",
              Verdict::Warning, "free space on the system drive");
        return frames;
    }
    HANDLE device = QorInitSystem(slot);
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
        f.Add("sensor", "sensor", "does not open", Verdict::Fault,
              std::string(kReplug) + "; another program may hold it");
    } else {
        const int32_t firmware = GetLowLevelDriverVer();
        f.Add("sensor", "firmware",
              firmware >= 0 ? "version byte " + std::to_string(firmware) : "no answer",
              firmware >= 0 ? Verdict::Ok : Verdict::Warning, firmware >= 0 ? "" : kReplug);
        HWInfo info{};
        if (!QorGetHWInfo(device, &info)) {
            f.Add("sensor", "identity", "no calibration in the flash", Verdict::Fault, kService);
        } else {
            f.Add("sensor", "identity",
                  "imager ID " + std::to_string(info.imagerId) + ", type " +
                      std::to_string(info.sensorType) + ", " + std::to_string(info.width) + " x " +
                      std::to_string(info.height));
            std::vector<uint8_t> flash;
            std::string error;
            qor::Calibration calibration;
            if (!ReadBytes(work / qor::CacheFileName(uint32_t(info.imagerId)), flash, error) ||
                flash.size() != qor::kCalibrationImageSize) {
                f.Add("sensor", "flash", "could not be read", Verdict::Fault, kReplug);
            } else {
                qor::LoadCalibration(calibration, flash.data(), [](const qor::UserNotice&) {});
                const int32_t format = calibration.set.formatVersion;
                f.Add("sensor", "calibration format", std::to_string(format),
                      format >= 1 && format <= 3 ? Verdict::Ok : Verdict::Warning,
                      format >= 1 && format <= 3
                          ? ""
                          : "this Qor.dll knows formats 1 to 3: install the newer driver suite");
                const bool checked = format >= 3;
                const bool right = qor::CalibrationChecksum(flash.data()) == flash.back();
                f.Add("sensor", "flash checksum",
                      !checked ? "not used by format " + std::to_string(format)
                      : right  ? "right"
                               : "wrong",
                      checked && !right ? Verdict::Fault : Verdict::Ok,
                      checked && !right
                          ? std::string("the calibration in the flash is damaged: ") + kService
                          : "");
                CheckCache(f, flash, format, uint32_t(info.imagerId), system);
                frames.width = calibration.set.width;
                frames.height = calibration.set.height;
                const int64_t count = int64_t(frames.width) * frames.height;
                if (count <= 0 || count * 4 > kBufferBytes) {
                    f.Add("acquisition", "test image", "no usable geometry in the calibration",
                          Verdict::Fault, kService);
                } else if (TestImage(f, device, frames.raw, int32_t(count))) {
                    MeasureSensorFrames(f, frames, calibration);
                }
            }
            qor::ReleaseCalibration(calibration);
        }
        QorShutDown(device);
    }
    fs::current_path(before, ec);
    fs::remove_all(work, ec);
    return frames;
}

TestFrames DemoPath(Findings& f) {
    TestFrames frames;
    frames.demo = true;
    QorSetDemoMode(1);
    HANDLE device = QorInitSystem(0);
    HWInfo info{};
    std::vector<int32_t> buffer(size_t(kBufferBytes / 4));
    if (!device || !QorGetHWInfo(device, &info) || !QorAcquireImage(device) ||
        !QorGetImgData(device, buffer.data(), kBufferBytes)) {
        f.Add("acquisition", "demo frame", "Qor.dll delivers none", Verdict::Fault,
              "install the QOR driver suite again");
    } else {
        frames.width = info.width;
        frames.height = info.height;
        buffer.resize(size_t(info.width) * size_t(info.height));
        frames.corrected = std::move(buffer);
        f.Add("acquisition", "demo frame (no sensor)",
              Describe(MeasureFrame(frames.corrected, frames.width, frames.height, 4095)));
    }
    QorShutDown(device);
    QorSetDemoMode(0);
    return frames;
}

} // namespace

TestFrames CheckSensor(Findings& findings, const SystemFacts& system) {
    const int slot = CheckSlots(findings);
    if (slot < 0) {
        return DemoPath(findings);
    }
    if (system.appRunning) {
        findings.Add("sensor", "sensor tests", "skipped: QOR APP holds the sensor",
                     Verdict::Warning,
                     "exit QOR APP (tray icon, Exit QOR) and run qorctl diagnose again");
        return {};
    }
    return SensorPath(findings, slot, system);
}

} // namespace qorctl::diagnose
