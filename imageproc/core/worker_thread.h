// Starting one worker thread of the enhancement's pool; each platform has its own way.
#pragma once

namespace qor::imageproc {

using WorkerBody = void (*)(void* argument);

// Runs body(argument) on a new thread that nobody joins. Returns false when no thread could be
// started. On Windows the thread keeps the library that holds `body` loaded until it has left
// it, so a FreeLibrary never unmaps code a worker is still running.
bool StartWorkerThread(WorkerBody body, void* argument);

} // namespace qor::imageproc
