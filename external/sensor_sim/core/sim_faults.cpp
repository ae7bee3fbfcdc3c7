// Text form of injected faults.
#include "external/sensor_sim/core/sim_faults.h"

#include <charconv>

namespace qor::sim {
namespace {

const char* const kStepNames[] = {"command", "reply", "data", "closing"};
const char* const kKindNames[] = {"fail", "short", "long", "unplug", "pause"};

bool ParseInt(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last && value >= low && value <= high;
}

// A number in range or one of the given names (its index).
bool ParseNamed(const std::string& text, const char* const* names, int64_t nameCount,
                int64_t& value) {
    for (int64_t i = 0; i < nameCount; ++i) {
        if (text == names[i]) {
            value = i;
            return true;
        }
    }
    return ParseInt(text, 0, nameCount - 1, value);
}

} // namespace

std::string FormatFault(const InjectedFault& fault) {
    return std::to_string(fault.command) + ":" + std::to_string(static_cast<int>(fault.step)) +
           ":" + std::to_string(static_cast<int>(fault.kind)) + ":" + std::to_string(fault.skip) +
           ":" + std::to_string(fault.count);
}

std::optional<InjectedFault> ParseFault(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (fields.size() < 3 || fields.size() > 5) {
        return std::nullopt;
    }
    int64_t command = 0, step = 0, kind = 0, skip = 0, count = 1;
    if (!ParseInt(fields[0], 0, 255, command) || !ParseNamed(fields[1], kStepNames, 4, step) ||
        !ParseNamed(fields[2], kKindNames, 5, kind)) {
        return std::nullopt;
    }
    if (fields.size() > 3 && !ParseInt(fields[3], 0, INT32_MAX, skip)) {
        return std::nullopt;
    }
    if (fields.size() > 4 && !ParseInt(fields[4], -1, INT32_MAX, count)) {
        return std::nullopt;
    }
    InjectedFault fault;
    fault.command = static_cast<uint8_t>(command);
    fault.step = static_cast<FaultStep>(step);
    fault.kind = static_cast<FaultKind>(kind);
    fault.skip = static_cast<int32_t>(skip);
    fault.count = static_cast<int32_t>(count);
    return fault;
}

} // namespace qor::sim
