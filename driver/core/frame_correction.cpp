// Frame correction pipelines: CorrectFrame and CorrectLegacyFrame.
#include "driver/core/frame_correction.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>
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

// Pairs [begin, end) of the turn: value i and value count - 1 - i, each inverted, exchanged.
void InvertAndTurnPairs(int32_t* frame, std::size_t count, std::size_t begin, std::size_t end) {
    static const bool avx2 = RunsAvx2();
    for (std::size_t i = avx2 ? InvertAndTurnPairsAvx2(frame, count, begin, end) : begin; i < end;
         ++i) {
        const std::size_t j = count - 1 - i;
        const int32_t first = Inverted(frame[i]);
        frame[i] = Inverted(frame[j]);
        frame[j] = first;
    }
}

// Passes over the whole frame are cut into parts that the enhancement's threads share, where
// the services offer them: enough parts for a few threads to end together, each large enough
// to be worth handing over.
constexpr int32_t kPassParts = 16;

template <typename Body> void QOR_STDCALL RunPart(void* body, int32_t part) {
    (*static_cast<Body*>(body))(part);
}

// body(part) for every part; the bodies must not throw.
template <typename Body>
void RunParts(const CorrectionServices& services, int32_t parts, Body body) {
    if (services.runParts == nullptr) {
        for (int32_t part = 0; part < parts; ++part) {
            body(part);
        }
        return;
    }
    services.runParts(parts, &RunPart<Body>, &body);
}

// Part `part` of `parts` of [0, count), in multiples of eight.
std::pair<std::size_t, std::size_t> PartRange(std::size_t count, int32_t part, int32_t parts) {
    const std::size_t step = (count / static_cast<std::size_t>(parts) + 7) / 8 * 8;
    const std::size_t begin = std::min(count, step * static_cast<std::size_t>(part));
    const std::size_t end = part + 1 == parts ? count : std::min(count, begin + step);
    return {begin, end};
}

// The gain and offset pass in bands of rows; returns the sum of the raw values (an integer sum,
// the same in any order).
int64_t GainOffsetInParts(int32_t* frame, const CalibrationSet& set,
                          const CorrectionServices& services) {
    int64_t sums[kPassParts] = {};
    RunParts(services, kPassParts, [&](int32_t part) {
        const auto [first, end] = PartRange(static_cast<std::size_t>(set.height), part, kPassParts);
        sums[part] =
            ApplyGainOffsetRows(frame, set, static_cast<int32_t>(first), static_cast<int32_t>(end));
    });
    int64_t sum = 0;
    for (const int64_t partial : sums) {
        sum += partial;
    }
    return sum;
}

void InvertInParts(int32_t* frame, std::size_t count, bool turn,
                   const CorrectionServices& services) {
    RunParts(services, kPassParts, [&](int32_t part) {
        if (!turn) {
            const auto [begin, end] = PartRange(count, part, kPassParts);
            InvertFrame(frame + begin, end - begin);
            return;
        }
        const auto [begin, end] = PartRange(count / 2, part, kPassParts);
        InvertAndTurnPairs(frame, count, begin, end);
    });
    if (turn && count % 2 == 1) {
        frame[count / 2] = Inverted(frame[count / 2]);
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
    InvertAndTurnPairs(frame, count, 0, count / 2);
    if (count % 2 == 1) {
        frame[count / 2] = Inverted(frame[count / 2]);
    }
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
    const double mean = gainOffset ? Mean(GainOffsetInParts(frame, set, services), count)
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
    InvertInParts(frame, count, NeedsTurn(set.imagerId), services);
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
