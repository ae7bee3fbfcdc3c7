// Stage marks of one exposure's road through the suite (read out, corrected, stored, announced,
// handed to the program), for the end-to-end trace of the test bench and the demo.
// Off unless the environment variable QOR_STAGE_TRACE names a file: then every mark appends one
// line "<microseconds since 1970-01-01 UTC> <stage>" to it. The wall clock is the one every
// process on the machine shares (and the one file times are given in), so the marks of Qor.dll,
// QOR APP, the source and the imaging program line up with each other and with the exposure.
#pragma once

namespace qor {

void MarkStage(const char* stage);

} // namespace qor
