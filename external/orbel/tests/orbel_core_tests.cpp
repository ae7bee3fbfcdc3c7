// The two INI files of the information library: what is read from hostile lines, and that
// what is written reads back the same.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "external/orbel/core/image_info_file.h"
#include "external/orbel/core/language_table.h"

namespace {

using orbel::IniLine;

std::vector<IniLine> Lines(const std::u16string& block) {
    return orbel::SplitSectionBlock(block.data(), block.size());
}

TEST(OrbelIni, SectionBlocksSplitIntoTrimmedLines) {
    const std::u16string block(u" a = 1 \0no equals\0=empty key\0b=x=y\0\0c=ignored\0", 46);
    const auto lines = Lines(block);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].key, u"a");
    EXPECT_EQ(lines[0].value, u"1");
    EXPECT_EQ(lines[1].key, u"");
    EXPECT_EQ(lines[2].value, u"x=y");
    // A block without its final NUL ends at the given size.
    EXPECT_EQ(orbel::SplitSectionBlock(u"k=v", 3).size(), 1u);
    EXPECT_TRUE(orbel::SplitSectionBlock(nullptr, 10).empty());
}

TEST(OrbelIni, ImageInfoLinesAreCheckedOrderedAndCapped) {
    const std::vector<IniLine> lines = {
        {u"Count", u"99"},
        {u"Image2", u"140305120,2026-12-07,1,1"},
        {u"image0", u"000000001 , 1999-01-31 , 6 , 0"},
        {u"Image1", u"235959999"},                // date and flags missing: zero date, selected
        {u"Image2", u"100000000,2026-12-07,1,0"}, // second line of one number: ignored
        {u"Image3", u"240000000,2026-12-07,1,1"}, // hour 24
        {u"Image4", u"006000000"},                // minute 60
        {u"Image5", u"12345678901"},              // too long
        {u"Image6", u"-1"},
        {u"Image7", u"000000002,2026-13-01,9,x"}, // bad date and day: zero; "x" is selected
        {u"ImageX", u"000000003"},
        {u"Image99999999999", u"000000004"},
    };
    const auto entries = orbel::ParseImageInfo(lines);
    ASSERT_EQ(entries.size(), 4u);
    const int32_t numbers[] = {1, 235959999, 140305120, 2};
    const int32_t selected[] = {0, 1, 1, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].info.nFileNumber, numbers[i]);
        EXPECT_EQ(entries[i].info.bSelected, selected[i]);
    }
    const ImageTime& t = entries[0].info.stTime;
    EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wMilliseconds}),
              std::vector<int>({1999, 1, 6, 31, 1}));
    const ImageTime& h = entries[1].info.stTime;
    EXPECT_EQ(std::vector<int>({h.wYear, h.wHour, h.wMinute, h.wSecond, h.wMilliseconds}),
              std::vector<int>({0, 23, 59, 59, 999}));
    EXPECT_EQ(entries[3].info.stTime.wMonth, 0);

    std::vector<IniLine> many;
    for (int i = 0; i < 1500; ++i) {
        many.push_back({u"Image" + orbel::ToU16(std::to_string(i)), u"000000005"});
    }
    const auto capped = orbel::ParseImageInfo(many);
    ASSERT_EQ(capped.size(), orbel::kMaxInfoEntries);
    EXPECT_EQ(capped.front().lineNumber, 1500 - 1024);
}

TEST(OrbelIni, WrittenImageInfoReadsBack) {
    ImageDataStruct a{}, b{};
    a.stTime = {2026, 12, 1, 7, 14, 3, 5, 120};
    a.bSelected = 1;
    b.stTime = {2026, 12, 1, 7, 0, 0, 0, 7};
    const ImageDataStruct* records[] = {&a, &b};
    const std::u16string block = orbel::ImageInfoBlock(records, 2);
    const auto entries = orbel::ParseImageInfo(Lines(block));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].info.nFileNumber, 140305120);
    EXPECT_EQ(std::memcmp(&entries[0].info.stTime, &a.stTime, sizeof(ImageTime)), 0);
    EXPECT_EQ(entries[0].info.bSelected, 1);
    EXPECT_EQ(entries[1].info.nFileNumber, 7);
    EXPECT_EQ(entries[1].info.bSelected, 0);
    EXPECT_EQ(orbel::ImageInfoValue(entries[1].info), u"000000007,2026-12-07,1,0");
}

TEST(OrbelIni, LanguageTableNamesAndIdentifiers) {
    std::u16string ids;
    for (int i = 1; i <= 25; ++i) {
        ids += orbel::ToU16(std::to_string(i)) + u",";
    }
    const std::vector<IniLine> lines = {
        {u"english", u"0409, 0x0809 0C09"},
        {u"german", u"0407,zz,0,10000,807"},
        {u"..\\evil", u"0407"},
        {u"c:", u"0407"},
        {u"lib.dll", u"0407"},
        {u"", u"0407"},
        {u"fifteen-letters", u"0407"},
        {u"fourteenletter", ids},
        {u"none", u""},
    };
    const auto table = orbel::ParseLanguageTable(lines);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(std::u16string(table[0].szName), u"english");
    EXPECT_EQ(std::vector<uint16_t>(table[0].wLangIds, table[0].wLangIds + table[0].nLangIds),
              std::vector<uint16_t>({0x0409, 0x0809, 0x0C09}));
    EXPECT_EQ(std::vector<uint16_t>(table[1].wLangIds, table[1].wLangIds + table[1].nLangIds),
              std::vector<uint16_t>({0x0407, 0x0807}));
    EXPECT_EQ(std::u16string(table[2].szName), u"fourteenletter");
    EXPECT_EQ(table[2].nLangIds, 21);
    EXPECT_EQ(table[2].wLangIds[20], 0x21);
    EXPECT_EQ(table[3].nLangIds, 0);

    const std::vector<IniLine> crowd(100, IniLine{u"x", u"1"});
    EXPECT_EQ(orbel::ParseLanguageTable(crowd).size(), orbel::kMaxLanguages);
}

} // namespace
