#include "external/orbel/core/image_info_file.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace orbel {

namespace {

constexpr int32_t kLastFileNumber = 235959999;

bool IsTimeOfDay(int32_t fileNumber) {
    return fileNumber / 10000000 < 24 && fileNumber / 100000 % 100 < 60 &&
           fileNumber / 1000 % 100 < 60;
}

std::vector<std::u16string_view> SplitCommas(std::u16string_view text) {
    std::vector<std::u16string_view> fields;
    size_t start = 0;
    while (fields.size() < 8) {
        const size_t comma = text.find(u',', start);
        std::u16string_view field =
            text.substr(start, comma == text.npos ? text.npos : comma - start);
        while (!field.empty() && field.front() == u' ') {
            field.remove_prefix(1);
        }
        while (!field.empty() && field.back() == u' ') {
            field.remove_suffix(1);
        }
        fields.push_back(field);
        if (comma == text.npos) {
            break;
        }
        start = comma + 1;
    }
    return fields;
}

// "YYYY-MM-DD" into the time's date; false (date untouched) for anything else.
bool ParseDate(std::u16string_view text, ImageTime& time) {
    if (text.size() != 10 || text[4] != u'-' || text[7] != u'-') {
        return false;
    }
    const auto year = ParseDecimal(text.substr(0, 4), 9999);
    const auto month = ParseDecimal(text.substr(5, 2), 12);
    const auto day = ParseDecimal(text.substr(8, 2), 31);
    if (!year || !month || !day || *month == 0 || *day == 0) {
        return false;
    }
    time.wYear = static_cast<uint16_t>(*year);
    time.wMonth = static_cast<uint16_t>(*month);
    time.wDay = static_cast<uint16_t>(*day);
    return true;
}

std::optional<InfoEntry> ParseLine(const IniLine& line) {
    const std::u16string_view prefix = u"Image";
    if (line.key.size() <= prefix.size() ||
        !std::equal(prefix.begin(), prefix.end(), line.key.begin(),
                    [](char16_t a, char16_t b) { return a == b || a == (b ^ 0x20); })) {
        return std::nullopt;
    }
    const auto lineNumber =
        ParseDecimal(std::u16string_view(line.key).substr(prefix.size()), 0x7FFFFFFF);
    const auto fields = SplitCommas(line.value);
    if (!lineNumber || fields.empty()) {
        return std::nullopt;
    }
    const auto fileNumber = ParseDecimal(fields[0], kLastFileNumber);
    if (!fileNumber || !IsTimeOfDay(*fileNumber)) {
        return std::nullopt;
    }
    InfoEntry entry{*lineNumber, {}};
    entry.info.nFileNumber = *fileNumber;
    ImageTime& time = entry.info.stTime;
    time.wHour = static_cast<uint16_t>(*fileNumber / 10000000);
    time.wMinute = static_cast<uint16_t>(*fileNumber / 100000 % 100);
    time.wSecond = static_cast<uint16_t>(*fileNumber / 1000 % 100);
    time.wMilliseconds = static_cast<uint16_t>(*fileNumber % 1000);
    if (fields.size() > 1) {
        ParseDate(fields[1], time);
    }
    if (fields.size() > 2) {
        time.wDayOfWeek = static_cast<uint16_t>(ParseDecimal(fields[2], 6).value_or(0));
    }
    entry.info.bSelected = fields.size() > 3 && fields[3] == u"0" ? 0 : 1;
    return entry;
}

} // namespace

std::vector<InfoEntry> ParseImageInfo(const std::vector<IniLine>& lines) {
    std::vector<InfoEntry> entries;
    std::set<int32_t> numbers;
    for (const IniLine& line : lines) {
        if (auto entry = ParseLine(line); entry && numbers.insert(entry->lineNumber).second) {
            entries.push_back(*entry);
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const InfoEntry& a, const InfoEntry& b) { return a.lineNumber < b.lineNumber; });
    if (entries.size() > kMaxInfoEntries) {
        entries.erase(entries.begin(), entries.end() - kMaxInfoEntries);
    }
    return entries;
}

std::u16string ImageInfoKey(int32_t lineNumber) {
    return u"Image" + ToU16(std::to_string(lineNumber));
}

std::u16string ImageInfoValue(const ImageInfoStuct& info) {
    char text[64];
    const ImageTime& t = info.stTime;
    std::snprintf(text, sizeof text, "%.9d,%.4d-%.2d-%.2d,%d,%d",
                  static_cast<int>(info.nFileNumber), t.wYear, t.wMonth, t.wDay, t.wDayOfWeek,
                  info.bSelected != 0 ? 1 : 0);
    return ToU16(text);
}

std::u16string ImageInfoBlock(const ImageDataStruct* const* records, int count) {
    std::u16string block = u"Count=" + ToU16(std::to_string(count));
    block.push_back(u'\0');
    for (int i = 0; i < count; ++i) {
        const ImageDataStruct& record = *records[i];
        const ImageTime& t = record.stTime;
        ImageInfoStuct info{};
        info.nFileNumber =
            t.wHour * 10000000 + t.wMinute * 100000 + t.wSecond * 1000 + t.wMilliseconds;
        info.stTime = t;
        info.bSelected = record.bSelected;
        block += ImageInfoKey(i) + u"=" + ImageInfoValue(info);
        block.push_back(u'\0');
    }
    block.push_back(u'\0');
    return block;
}

} // namespace orbel
