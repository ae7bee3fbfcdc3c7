// Worker threads of the native build: detached standard threads.
#include "imageproc/core/worker_thread.h"

#include <system_error>
#include <thread>

namespace qor::imageproc {

bool StartWorkerThread(WorkerBody body, void* argument) {
    try {
        std::thread(body, argument).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace qor::imageproc
