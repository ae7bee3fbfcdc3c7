// The lines of a diagnosis: what was looked at, what was found, a verdict and what to do.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace qorctl::diagnose {

enum class Verdict { Ok, Warning, Fault };
const char* VerdictName(Verdict verdict);

struct Finding {
    std::string topic; // "driver", "sensor", "registry", ...
    std::string item;  // what was looked at
    std::string value; // what was found
    Verdict verdict = Verdict::Ok;
    std::string advice; // what to do (empty when nothing is to be done)
};

class Findings {
public:
    void Add(std::string topic, std::string item, std::string value, Verdict verdict = Verdict::Ok,
             std::string advice = {});
    const std::vector<Finding>& All() const { return m_findings; }
    Verdict Worst() const;
    // One line a finding: "ok       topic  item: value  -> advice", then a summary line.
    void Print(std::ostream& out) const;
    nlohmann::json ToJson() const;

private:
    std::vector<Finding> m_findings;
};

} // namespace qorctl::diagnose
