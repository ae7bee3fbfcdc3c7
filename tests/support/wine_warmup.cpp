// Touches the Wine desktop once, with all output redirected by the caller, so that Wine's
// background processes do not inherit the output pipe of a later test run.
#include <windows.h>

namespace {
BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}
}  // namespace

int main() {
    int count = 0;
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&count));
    return 0;
}
