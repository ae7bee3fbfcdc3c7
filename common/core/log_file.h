// CLogFile: the plain-text log of the acquisition application and the data source.
// One line per event: time of day, severity name, message; each line flushed at once.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

enum LogLevel : unsigned { LOG_INFO = 0, LOG_WARN = 1, LOG_FATAL = 2 };

class CLogFile {
public:
    CLogFile() = default;
    ~CLogFile() { Close(); }
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // 1 when the file was opened now; 0 for a missing path, a level above 2, a file already
    // open (it stays open) or a file that cannot be opened. Every open empties the file.
    int Open(const char* path, unsigned minimumLevel);
    // 1 when written or dropped for its level; 0 for a missing message, a level above 2, no open
    // file or a short write. The message is written unchanged (callers end it with '\n').
    // A message that repeats the previous one at the same level is written kCopiesWritten times
    // in a row, then counted instead: a failing status query every 50 ms would otherwise fill
    // the disk over the days the program runs. The count is written before the next different
    // line, every kRepeatReport repeats and at Close.
    int Write(unsigned level, const char* message);
    // As Write, with printf-style formatting into a 512-byte buffer.
    int WriteFormat(unsigned level, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    void Close();

    // The line as written, for a given time of day (exposed for tests).
    static int FormatLine(char* out, size_t outSize, unsigned level, const char* message,
                          int hour, int minute, int second, int millisecond);

    static constexpr uint32_t kCopiesWritten = 3;
    // Repeats of one line between two counts: a minute of 50 ms queries.
    static constexpr uint32_t kRepeatReport = 1200;

private:
    // Both with m_lock held.
    bool WriteLineLocked(unsigned level, const char* message);
    bool ReportRepeatsLocked();

    FILE* m_pStream = nullptr;
    unsigned m_nMinimumLevel = 0;
    static constexpr unsigned kNoLine = 3; // no level: nothing written since the open
    std::string m_lastMessage;
    unsigned m_nLastLevel = kNoLine;
    uint32_t m_nCopies = 0;  // consecutive copies of the last line written
    uint32_t m_nRepeats = 0; // and counted since the last count was written
    std::mutex m_lock;
};

// The process's one log, with static lifetime.
CLogFile& TheLogFile();
