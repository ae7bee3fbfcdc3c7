// The lines of a diagnosis.
#include "tools/qorctl/diagnose/findings.h"

#include <algorithm>
#include <iomanip>

namespace qorctl::diagnose {

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Ok:
        return "ok";
    case Verdict::Warning:
        return "warning";
    case Verdict::Fault:
        return "fault";
    }
    return "fault";
}

void Findings::Add(std::string topic, std::string item, std::string value, Verdict verdict,
                   std::string advice) {
    m_findings.push_back(
        Finding{std::move(topic), std::move(item), std::move(value), verdict, std::move(advice)});
}

Verdict Findings::Worst() const {
    Verdict worst = Verdict::Ok;
    for (const Finding& f : m_findings) {
        worst = std::max(worst, f.verdict);
    }
    return worst;
}

void Findings::Print(std::ostream& out) const {
    int counts[3] = {};
    for (const Finding& f : m_findings) {
        ++counts[static_cast<int>(f.verdict)];
        out << std::left << std::setw(8) << VerdictName(f.verdict) << std::setw(12) << f.topic
            << f.item << ": " << f.value;
        if (!f.advice.empty()) {
            out << "  -> " << f.advice;
        }
        out << "\n";
    }
    out << "verdict: " << VerdictName(Worst()) << " (" << counts[0] << " ok, " << counts[1]
        << " warning" << (counts[1] == 1 ? "" : "s") << ", " << counts[2] << " fault"
        << (counts[2] == 1 ? "" : "s") << ")\n";
}

nlohmann::json Findings::ToJson() const {
    nlohmann::json lines = nlohmann::json::array();
    for (const Finding& f : m_findings) {
        lines.push_back({{"topic", f.topic},
                         {"item", f.item},
                         {"value", f.value},
                         {"verdict", VerdictName(f.verdict)},
                         {"advice", f.advice}});
    }
    return {{"verdict", VerdictName(Worst())}, {"findings", lines}};
}

} // namespace qorctl::diagnose
