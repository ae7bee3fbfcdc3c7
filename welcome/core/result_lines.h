// The result file of the driver installation, read as the welcome screen reads it: line by line,
// a line ending at CR, LF or CR LF; a last line without an end counts, an empty file has none.
#pragma once

#include <string>
#include <vector>

namespace welcome {

std::vector<std::string> SplitResultLines(const std::string& content);

}  // namespace welcome
