// Frame correction pipelines: CorrectFrame and CorrectLegacyFrame.
#include "driver/core/frame_correction.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "driver/core/flat_field.h"
#include "driver/core/invert_turn_avx2.h"
#include "driver/core/line_repair.h"
#include "driver/core/sensor_type_table.h"

namespace qor {

namespace {

// The geometry of the loaded set as a value count; 0 when none is known.
std::size_t FrameSize(const CalibrationSet& set) {
    if (set.width <= 0 || set.height <= 0) {
        return 0;
    }
    return static_cast<std::size_t>(set.width) * static_cast<std::size_t>(set.height);
}

// The maps of a set must cover the geometry it claims.
bool MapsMatch(const CalibrationSet& set, std::size_t count) {
    return set.pixelCount >= 0 && static_cast<std::size_t>(set.pixelCount) == count;
}

// The calibration stages after the gain and offset pass (which CorrectFrame runs together with
// the exposure test), then the enhancement.
void Calibrate(int32_t* frame, const CalibrationSet& set, int32_t processFlag,
               const CorrectionServices& services) {
    if (set.formatVersion < 3) {
        ApplyGainCorrection(frame, set);
        RepairFormat2Lines(frame, set);
    } else {
        RepairFormat3Lines(frame, set);
    }
    if (services.enhance && set.width >= kMinEnhanceSize && set.height >= kMinEnhanceSize) {
        services.enhance(frame, set.width, set.height, processFlag);
    }
}

double Mean(int64_t sum, std::size_t count) {
    return static_cast<double>(sum) / static_cast<double>(count);
}

} // namespace

std::string UnderExposureTitle(double mean) {
    return "Warning ( " + std::to_string(static_cast<int64_t>(std::trunc(mean))) + ")";
}

double ExposureMean(const int32_t* frame, std::size_t count) {
    // A calibrated frame has fewer than 2^20 values, so every partial sum stays an exact integer
    // below 2^53: the integer sum equals the sum in double, and cannot lose bits for any count.
    if (count == 0) {
        return 0.0;
    }
    int64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += frame[i];
    }
    return Mean(sum, count);
}

namespace {

// The 256-bit loops need AVX2 in the processor and the system; asked once by each caller.
bool RunsAvx2() {
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

inline int32_t Inverted(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    return v <= 4095u ? static_cast<int32_t>(4095u - v) : 0;
}

// The values [begin, end) of a frame whose turn maps them onto each other.
void InvertAndTurnRange(int32_t* frame, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin, j = end; i + 1 < j; ++i) {
        --j;
        const int32_t first = Inverted(frame[i]);
        frame[i] = Inverted(frame[j]);
        frame[j] = first;
    }
    if ((end - begin) % 2 == 1) {
        const std::size_t middle = begin + (end - begin) / 2;
        frame[middle] = Inverted(frame[middle]);
    }
}

} // namespace

void InvertFrame(int32_t* frame, std::size_t count) {
    static const bool avx2 = RunsAvx2();
    for (std::size_t i = avx2 ? InvertLeadingAvx2(frame, count) : 0; i < count; ++i) {
        frame[i] = Inverted(frame[i]);
    }
}

void InvertAndTurnFrame(int32_t* frame, std::size_t count) {
    static const bool avx2 = RunsAvx2();
    const std::size_t done = avx2 ? InvertAndTurnOuterAvx2(frame, count) : 0;
    InvertAndTurnRange(frame, done, count - done);
}

void TurnFrame(int32_t* frame, std::size_t count) {
    std::reverse(frame, frame + count);
}

bool CorrectFrame(int32_t* frame, std::size_t frameValues, const Calibration& calibration,
                  uint32_t threshold, int32_t processFlag, const CorrectionServices& services) {
    const CalibrationSet& set = calibration.set;
    const std::size_t count = FrameSize(set);
    if (count == 0) {
        return true; // no geometry yet: the frame is delivered as read
    }
    if (frame == nullptr || frameValues < count) {
        return false;
    }
    // A set of format 3 or later corrects with the gain and offset maps, a pass that adds up the
    // raw values for the exposure test as it reads them; the others need a pass of their own.
    // (Corrects() holds both maps for those formats.)
    const bool calibrate = processFlag > 0 && set.Corrects() && MapsMatch(set, count);
    const bool gainOffset = calibrate && set.formatVersion >= 3;
    const double mean = gainOffset ? Mean(ApplyGainOffsetCorrection(frame, set), count)
                                   : ExposureMean(frame, count);
    if (mean < static_cast<double>(threshold) && services.notify) {
        try {
            services.notify(UserNotice{UnderExposureTitle(mean), kUnderExposureText});
        } catch (...) {
            // The frame is delivered even when the warning cannot be shown.
        }
    }
    if (calibrate) {
        Calibrate(frame, set, processFlag, services);
    }
    // One pass over the frame instead of two.
    if (NeedsTurn(set.imagerId)) {
        InvertAndTurnFrame(frame, count);
    } else {
        InvertFrame(frame, count);
    }
    return true;
}

void PrepareFrameCorrection(const Calibration& calibration, const CorrectionServices& services) {
    const CalibrationSet& set = calibration.set;
    const std::size_t count = FrameSize(set);
    if (count == 0 || !services.enhance || set.width < kMinEnhanceSize ||
        set.height < kMinEnhanceSize) {
        return;
    }
    try {
        std::vector<int32_t> blank(count);
        services.enhance(blank.data(), set.width, set.height, 1);
    } catch (const std::bad_alloc&) {
        // Only slower: the first frame then takes the memory itself.
    }
}

bool CorrectLegacyFrame(int32_t* frame, std::size_t frameValues, const Calibration& calibration,
                        int32_t processFlag, const CorrectionServices& /*services*/) {
    const CalibrationSet& set = calibration.set;
    const std::size_t count = FrameSize(set);
    if (count == 0) {
        return true;
    }
    if (frame == nullptr || frameValues < count) {
        return false;
    }
    if (processFlag <= 0 || !set.correctionMap || !MapsMatch(set, count)) {
        InvertFrame(frame, count);
        return true;
    }
    ApplyLegacyOffsetCorrection(frame, set);
    InvertFrame(frame, count);
    RepairLegacyLines(frame, set);
    return true;
}

} // namespace qor
