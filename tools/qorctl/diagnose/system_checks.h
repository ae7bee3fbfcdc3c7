// The workstation side of a diagnosis: versions, registry, QOR APP and its pipe, TWAIN source.
// Everything is only read.
#pragma once

#include "tools/qorctl/diagnose/findings.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace qorctl::diagnose {

struct SystemFacts {
    std::optional<std::filesystem::path> installFolder; // "InstalPath", when set
    bool appRunning = false;
};

SystemFacts CheckSystem(Findings& findings);

// Text helpers shared by the checks.
std::string Utf8(const std::wstring& wide);
std::filesystem::path ModulePath(HMODULE module);
bool SameFileContents(const std::filesystem::path& a, const std::filesystem::path& b);

} // namespace qorctl::diagnose
