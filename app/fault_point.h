// Fault points: fixed places where a test can stop QOR APP and kill it (TerminateProcess) at
// that exact moment. They exist only in the test build of QOR APP (compile definition
// QOR_TEST_HOOKS, "test-hooks/QOR APP.exe" in the build tree, never on the installation medium);
// in the shipped program Reach is an empty inline function and nothing reads the variable below.
//
// In the test build, when the environment variable QOR_FAULT_POINT names a point, the process
// signals the named event "QOR fault point reached" (manual reset; created when missing) as it
// reaches that point and then waits there for ever. Without the variable nothing happens.
//
// The points:
//   "store-write"  a bitmap file half written (to its temporary name, before the rename)
//   "info-swap"    the new list "ImageInfo.ini.new" written completely, not yet swapped in
//   "pipe-write"   a LEND_IMAGE or LEND_IMAGE_EXCEPT reply half written to the pipe (header and
//                  half the image)
#pragma once

namespace fault {

inline constexpr char kStoreWrite[] = "store-write";
inline constexpr char kInfoSwap[] = "info-swap";
inline constexpr char kPipeWrite[] = "pipe-write";

#ifdef QOR_TEST_HOOKS
inline constexpr wchar_t kReachedEventName[] = L"QOR fault point reached";
inline constexpr char kEnvironmentVariable[] = "QOR_FAULT_POINT";

// Stops here for ever when QOR_FAULT_POINT names `point`.
void Reach(const char* point);
#else
inline void Reach(const char* /*point*/) {}
#endif

}  // namespace fault
