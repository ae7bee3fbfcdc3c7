// What real imaging programs do to a source besides acquiring: each habit runs through the
// chosen manager only and answers a JSON summary with "ok" and, when not ok, "error".
#pragma once
#include <string>

#include <nlohmann/json.hpp>

#include "tools/twain_client/twain_session.h"

namespace habits {

// Opens and closes the source `cycles` times in this process, sampling the process's handles,
// threads and private bytes every `sampleEvery` cycles (after the first, which loads the source).
nlohmann::json OpenCloseCycles(const ManagerChoice& manager, const std::string& source, int cycles, int sampleEvery);
// Opens the source, closes the manager with the source still open, opens the manager again and
// opens the source again.
nlohmann::json ReopenManager(const ManagerChoice& manager, const std::string& source);
// Enables the source with ShowUI TRUE or FALSE, checks what the imaging program sees (the
// source's window shown or not), disables and closes it.
nlohmann::json EnableDisable(const ManagerChoice& manager, const std::string& source, bool showUi);
// Enables with ShowUI TRUE, presses the Cancel button of the source's window as a user would and
// expects MSG_CLOSEDSREQ, then disables and closes.
nlohmann::json CancelFromWindow(const ManagerChoice& manager, const std::string& source, int timeoutMs);

}  // namespace habits
