// One line per mark, opened and closed each time: marks are a handful per exposure, several
// processes append to the same file, and nothing is kept open in a product that is not traced.
#include "common/core/stage_trace.h"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace qor {

void MarkStage(const char* stage) {
    const char* path = std::getenv("QOR_STAGE_TRACE");
    if (path == nullptr || path[0] == '\0' || stage == nullptr) {
        return;
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%" PRId64 " %.96s\n", now, stage);
    if (length <= 0) {
        return;
    }
    if (FILE* file = std::fopen(path, "ab")) {
        // One write per line: the lines of two processes never mix within a line.
        std::fwrite(line, 1, static_cast<size_t>(length), file);
        std::fclose(file);
    }
}

} // namespace qor
