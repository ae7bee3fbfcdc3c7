// The test build's fault points; the shipped program compiles none of this.
#include "app/fault_point.h"

#ifdef QOR_TEST_HOOKS

#include <windows.h>

#include <cstring>

namespace fault {

namespace {

// Read once: the variable is set before the process starts.
const char* ChosenPoint() {
    static const char* chosen = [] {
        static char value[64] = {};
        const DWORD n = GetEnvironmentVariableA(kEnvironmentVariable, value, sizeof value);
        return n > 0 && n < sizeof value ? value : static_cast<char*>(nullptr);
    }();
    return chosen;
}

}  // namespace

void Reach(const char* point) {
    const char* chosen = ChosenPoint();
    if (chosen == nullptr || point == nullptr || std::strcmp(chosen, point) != 0) {
        return;
    }
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, kReachedEventName);
    if (reached != nullptr) {
        SetEvent(reached);
    }
    for (;;) {
        Sleep(INFINITE);
    }
}

}  // namespace fault

#endif  // QOR_TEST_HOOKS
