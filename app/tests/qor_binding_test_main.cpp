// Test main for the binding tests: opens the process log on a temporary file first.
#include "app/tests/binding_log.h"

#include "common/core/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {
size_t g_linesSeen = 0;
}

const std::string& TestLogPath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / "qor_binding_test_log.txt").string();
    return path;
}

std::vector<std::string> NewLogMessages() {
    std::ifstream in(TestLogPath());
    std::vector<std::string> messages;
    size_t index = 0;
    for (std::string line; std::getline(in, line); ++index) {
        if (index < g_linesSeen) {
            continue;
        }
        const size_t separator = line.find(" - ", 15);
        messages.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
    }
    g_linesSeen = index;
    return messages;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TheLogFile().Open(TestLogPath().c_str(), LOG_INFO);
    return RUN_ALL_TESTS();
}
