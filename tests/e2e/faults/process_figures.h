// What the soak watches of a process for growth: its handles, threads and private bytes.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstddef>

namespace figures {

struct ProcessFigures {
    DWORD processId = 0;
    bool found = false;
    DWORD handles = 0;
    DWORD threads = 0;
    size_t privateBytes = 0;
    nlohmann::json ToJson() const;
};

ProcessFigures Sample(DWORD processId);

}  // namespace figures
