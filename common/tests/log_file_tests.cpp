// CLogFile: line format, level filtering, open rules and whole lines under concurrent writers.
#include "common/core/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("qor_log_" + name)).string();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

TEST(LogFileFormat, PadsTimeStampAndLevelName) {
    char line[128];
    CLogFile::FormatLine(line, sizeof line, LOG_WARN, "x\n", 14, 3, 5, 120);
    EXPECT_STREQ("  14:3:5:120 -  WARN - x\n", line);
    CLogFile::FormatLine(line, sizeof line, LOG_FATAL, "y", 9, 5, 3, 25);
    EXPECT_STREQ("    9:5:3:25 - FATAL - y", line);
    CLogFile::FormatLine(line, sizeof line, LOG_INFO, "z", 23, 59, 59, 999);
    EXPECT_STREQ("23:59:59:999 -  INFO - z", line);
}

TEST(LogFile, WritesOnlyLinesAtOrAboveTheMinimumLevel) {
    const std::string path = TempPath("levels.txt");
    CLogFile log;
    ASSERT_EQ(1, log.Open(path.c_str(), LOG_FATAL));
    EXPECT_EQ(1, log.Write(LOG_INFO, "info\n"));
    EXPECT_EQ(1, log.Write(LOG_WARN, "warn\n"));
    EXPECT_EQ(1, log.Write(LOG_FATAL, "fatal\n"));
    EXPECT_EQ(1, log.WriteFormat(LOG_FATAL, "code = %d.\n", 126));
    log.Close();
    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(2u, lines.size());
    const std::regex shape(R"( *\d{1,2}:\d{1,2}:\d{1,2}:\d{1,3} - FATAL - (fatal|code = 126\.))");
    for (const auto& line : lines) {
        EXPECT_EQ(12u + 3 + 5 + 3, line.find_last_of('-') + 2) << line;
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
}

TEST(LogFile, RejectsBadArgumentsAndKeepsTheFirstFile) {
    const std::string first = TempPath("first.txt");
    const std::string second = TempPath("second.txt");
    std::filesystem::remove(second);
    CLogFile log;
    EXPECT_EQ(0, log.Write(LOG_FATAL, "before open\n"));
    EXPECT_EQ(0, log.Open(nullptr, 0));
    EXPECT_EQ(0, log.Open(first.c_str(), 3));
    ASSERT_EQ(1, log.Open(first.c_str(), LOG_INFO));
    EXPECT_EQ(0, log.Open(second.c_str(), LOG_INFO));
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_EQ(0, log.Write(LOG_INFO, nullptr));
    EXPECT_EQ(0, log.Write(3, "level 3\n"));
    EXPECT_EQ(0, log.WriteFormat(LOG_INFO, nullptr));
    EXPECT_EQ(1, log.Write(LOG_INFO, "no line feed"));
    EXPECT_EQ(1, log.Write(LOG_INFO, "next\n"));
    log.Close();
    const auto lines = Lines(ReadAll(first));
    ASSERT_EQ(1u, lines.size()) << "a message without a line feed runs into the next line";
    EXPECT_NE(std::string::npos, lines[0].find("no line feed"));
    EXPECT_EQ(0, log.Open("/nonexistent-folder/qor/log.txt", LOG_INFO));
}

TEST(LogFile, EveryOpenStartsAnEmptyFile) {
    const std::string path = TempPath("empty.txt");
    {
        CLogFile log;
        ASSERT_EQ(1, log.Open(path.c_str(), LOG_INFO));
        log.Write(LOG_INFO, "old\n");
    }
    CLogFile log;
    ASSERT_EQ(1, log.Open(path.c_str(), LOG_INFO));
    log.Close();
    EXPECT_EQ("", ReadAll(path));
}

// A line repeated at the same level: three copies, then a count before the next different line,
// after every kRepeatReport repeats and at Close; another level is another line.
TEST(LogFile, RepeatedLinesAreCountedAfterThreeCopies) {
    const std::string path = TempPath("repeats.txt");
    CLogFile log;
    ASSERT_EQ(1, log.Open(path.c_str(), LOG_INFO));
    const struct {
        unsigned level;
        const char* message;
        uint32_t times;
    } writes[] = {
        {LOG_INFO, "twice\n", 2},
        {LOG_FATAL, "status query failed\n", 3 + 5},
        {LOG_WARN, "status query failed\n", 1},
        {LOG_INFO, "unplugged\n", 3 + CLogFile::kRepeatReport + 2},
    };
    for (const auto& w : writes) {
        for (uint32_t i = 0; i < w.times; ++i) {
            ASSERT_EQ(1, log.Write(w.level, w.message));
        }
    }
    log.Close();
    const std::string count = "CLogFile::Write: the line before was repeated ";
    const std::vector<std::string> expected = {
        " INFO - twice", " INFO - twice",
        "FATAL - status query failed", "FATAL - status query failed", "FATAL - status query failed",
        "FATAL - " + count + "5 more times",
        " WARN - status query failed",
        " INFO - unplugged", " INFO - unplugged", " INFO - unplugged",
        " INFO - " + count + std::to_string(CLogFile::kRepeatReport) + " more times",
        " INFO - " + count + "2 more times",
    };
    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(expected.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(expected[i], lines[i].substr(15)) << "line " << i;
    }
}

TEST(LogFile, ConcurrentWritersNeverTearLines) {
    const std::string path = TempPath("threads.txt");
    CLogFile log;
    ASSERT_EQ(1, log.Open(path.c_str(), LOG_INFO));
    constexpr int kLinesPerThread = 2000;
    const std::string a(200, 'a');
    const std::string b(300, 'b');
    auto writer = [&](const std::string& text) {
        for (int i = 0; i < kLinesPerThread; ++i) {
            log.WriteFormat(LOG_INFO, "%s %d\n", text.c_str(), i);
        }
    };
    std::thread first(writer, a);
    std::thread second(writer, b);
    first.join();
    second.join();
    log.Close();
    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(2u * kLinesPerThread, lines.size());
    const std::regex whole(R"( *[\d:]+ -  INFO - (a{200}|b{300}) \d+)");
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
}

}  // namespace
