#include "external/twaindsm/triplet_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace twaindsm {

namespace {

HANDLE LogFile() {
    static HANDLE file = [] {
        wchar_t path[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"QOR_TWAINDSM_LOG", path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return INVALID_HANDLE_VALUE;
        return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }();
    return file;
}

// "<pid> <head><detail>\n", cut to one buffer; one WriteFile, so lines of processes never mix.
void WriteLine(const char* head, const char* detailFormat, va_list args) {
    HANDLE file = LogFile();
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[512];
    const int room = static_cast<int>(sizeof line) - 1;
    int used = std::snprintf(line, room, "%lu %s", GetCurrentProcessId(), head);
    used = std::clamp(used, 0, room - 1);
    const int more = std::vsnprintf(line + used, room - used, detailFormat, args);
    used = std::clamp(used + std::max(more, 0), 0, room - 1);
    line[used++] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
}

} // namespace

void LogTriplet(const char* route, const Triplet& t, TW_UINT16 rc, const char* detailFormat, ...) {
    char head[128];
    std::snprintf(head, sizeof head, "%s dg=0x%lx dat=0x%04x msg=0x%04x rc=%u%s", route,
                  static_cast<unsigned long>(t.dg), t.dat, t.msg, rc,
                  detailFormat[0] != '\0' ? " " : "");
    va_list args;
    va_start(args, detailFormat);
    WriteLine(head, detailFormat, args);
    va_end(args);
}

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine("", format, args);
    va_end(args);
}

} // namespace twaindsm
