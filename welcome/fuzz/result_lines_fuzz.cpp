// The installation result file is written by a script: any bytes must split safely.
#include "welcome/core/result_lines.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    size_t total = 0;
    for (const std::string& line : welcome::SplitResultLines(content)) {
        total += line.size();
    }
    return total <= size ? 0 : 1;
}
