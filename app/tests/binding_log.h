// Test helper: the process log opened on a temporary file, and its lines.
#pragma once

#include <string>
#include <vector>

// Path of the log that the test main opened for this process.
const std::string& TestLogPath();
// Messages (the part after the level) written since the last call.
std::vector<std::string> NewLogMessages();
