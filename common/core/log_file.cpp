// CLogFile: one lock, one write and one flush per line.
#include "common/core/log_file.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char* const kLevelNames[] = {"INFO", "WARN", "FATAL"};
constexpr unsigned kHighestLevel = LOG_FATAL;
constexpr size_t kFormatBufferSize = 512;
constexpr size_t kLineOverhead = 36;  // time stamp, separators and level name

struct TimeOfDay {
    int hour, minute, second, millisecond;
};

TimeOfDay LocalTimeOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return {local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms.count() % 1000)};
}

}  // namespace

int CLogFile::FormatLine(char* out, size_t outSize, unsigned level, const char* message, int hour,
                         int minute, int second, int millisecond) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%d:%d:%d:%d", hour, minute, second, millisecond);
    return std::snprintf(out, outSize, "%12s - %5s - %s", stamp, kLevelNames[level], message);
}

int CLogFile::Open(const char* path, unsigned minimumLevel) {
    if (path == nullptr || minimumLevel > kHighestLevel) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pStream != nullptr) {
        return 0;
    }
    m_pStream = std::fopen(path, "w+");
    if (m_pStream == nullptr) {
        return 0;
    }
    m_nMinimumLevel = minimumLevel;
    return 1;
}

int CLogFile::Write(unsigned level, const char* message) {
    if (message == nullptr || level > kHighestLevel) {
        return 0;
    }
    if (level < m_nMinimumLevel) {
        return 1;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pStream == nullptr) {
        return 0;
    }
    const bool repeat = level == m_nLastLevel && m_lastMessage == message;
    if (repeat && m_nCopies >= kCopiesWritten) {
        ++m_nRepeats;
        return m_nRepeats < kRepeatReport || ReportRepeatsLocked() ? 1 : 0;
    }
    const bool reported = ReportRepeatsLocked();
    if (repeat) {
        ++m_nCopies;
    } else {
        m_lastMessage = message;
        m_nLastLevel = level;
        m_nCopies = 1;
    }
    return WriteLineLocked(level, message) && reported ? 1 : 0;
}

bool CLogFile::WriteLineLocked(unsigned level, const char* message) {
    std::vector<char> line(std::strlen(message) + kLineOverhead);
    const TimeOfDay t = LocalTimeOfDay();
    const int length =
        FormatLine(line.data(), line.size(), level, message, t.hour, t.minute, t.second,
                   t.millisecond);
    if (length < 0 || static_cast<size_t>(length) >= line.size()) {
        return false;
    }
    const size_t written = std::fwrite(line.data(), 1, static_cast<size_t>(length), m_pStream);
    std::fflush(m_pStream);
    return written == static_cast<size_t>(length);
}

bool CLogFile::ReportRepeatsLocked() {
    if (m_nRepeats == 0) {
        return true;
    }
    char report[96];
    std::snprintf(report, sizeof report,
                  "CLogFile::Write: the line before was repeated %u more times\n",
                  static_cast<unsigned>(m_nRepeats));
    m_nRepeats = 0;
    return WriteLineLocked(m_nLastLevel, report);
}

int CLogFile::WriteFormat(unsigned level, const char* format, ...) {
    if (format == nullptr) {
        return 0;
    }
    std::vector<char> message(kFormatBufferSize);
    va_list args;
    va_start(args, format);
    std::vsnprintf(message.data(), message.size(), format, args);
    va_end(args);
    return Write(level, message.data());
}

void CLogFile::Close() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pStream != nullptr) {
        ReportRepeatsLocked();
        m_lastMessage.clear();
        m_nLastLevel = kNoLine;
        m_nCopies = 0;
        std::fclose(m_pStream);
        m_pStream = nullptr;
    }
}

CLogFile& TheLogFile() {
    static CLogFile log;
    return log;
}
