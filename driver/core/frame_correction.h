// Frame correction: turns a raw frame, in the caller's buffer, into the delivered 12-bit image
// (exposure test, calibration, line repair, enhancement, inversion, orientation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/core/qor_platform.h"
#include "driver/core/calibration_record.h"

namespace qor {

// What the pipeline needs from outside the core: the local contrast enhancement (the image
// processing library's QorImageProc1; none skips it) and the way to show a message to the user.
using EnhanceFunction = int32_t(QOR_STDCALL*)(int32_t* image, int32_t width, int32_t height,
                                              int32_t processFlag);
// The same library's QorRunParts shares the passes over a frame with the enhancement's threads
// (none runs them on the calling thread).
using PartTask = void(QOR_STDCALL*)(void* context, int32_t part);
using RunPartsFunction = void(QOR_STDCALL*)(int32_t parts, PartTask task, void* context);
struct CorrectionServices {
    EnhanceFunction enhance = nullptr;
    NoticeCallback notify;
    RunPartsFunction runParts = nullptr;
};

// The enhancement needs four tiles of 35 pixels in each direction; smaller frames skip it.
inline constexpr int32_t kMinEnhanceSize = 140;

inline constexpr const char* kUnderExposureText = "Image May be Under Exposed";
// "Warning ( " + the mean truncated toward zero + ")".
std::string UnderExposureTitle(double mean);

// Corrects the frame in place. `frameValues` is the size of the caller's buffer in int32 values;
// nothing outside it is touched. Returns false, leaving the frame as it is, when the buffer
// holds fewer than width x height values of the loaded calibration; true otherwise (also when
// no geometry is known yet, in which case the frame is delivered as read).
bool CorrectFrame(int32_t* frame, std::size_t frameValues, const Calibration& calibration,
                  uint32_t threshold, int32_t processFlag, const CorrectionServices& services);

// The older pipeline for sets read by LoadLegacyCalibration: offsets, inversion, legacy repair
// (without a map, or with a processFlag of 0 or below, only the inversion). No exposure test,
// no enhancement and no turn; `services` is accepted for symmetry only.
bool CorrectLegacyFrame(int32_t* frame, std::size_t frameValues, const Calibration& calibration,
                        int32_t processFlag, const CorrectionServices& services = {});

// Makes the first frame after a sensor's initialisation as fast as the later ones: runs the
// enhancement once on a blank frame of the set's size, so that the enhancement library starts
// its workers and takes and faults in the memory it keeps for that size before the exposure.
// Does nothing without a known geometry large enough for the enhancement, or without one.
void PrepareFrameCorrection(const Calibration& calibration, const CorrectionServices& services);

// Pipeline stages, exposed for tests and benchmarks.
double ExposureMean(const int32_t* frame, std::size_t count);
// v -> 4095 - v when v read as unsigned is at most 4095, else 0.
void InvertFrame(int32_t* frame, std::size_t count);
// Reverses the order of the values: the 180-degree turn.
void TurnFrame(int32_t* frame, std::size_t count);
// InvertFrame and TurnFrame in one pass.
void InvertAndTurnFrame(int32_t* frame, std::size_t count);

} // namespace qor
