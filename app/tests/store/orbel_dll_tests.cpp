// Orbel.dll over real INI files through the platform's profile functions.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "app/tests/store/store_folder.h"
#include "external/orbel/orbel.h"

namespace {

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(OrbelDll, LanguageTableFromLanguageIni) {
    StoreFolder folder(L"lang");
    const std::filesystem::path ini = std::filesystem::path(folder.Path()) / L"Language.ini";
    WriteText(ini, "[Languages]\r\nenglish=0409,0809\r\n; a comment\r\ngerman = 0x0407 0807\r\n"
                   "..\\..\\windows\\evil=0407\r\nfrench=040C\r\n[Other]\r\nspanish=040A\r\n");
    int count = -1;
    LanguageInfoStruct* table = nullptr;
    ASSERT_EQ(GetSupportedLang(ini.string().c_str(), &count, &table), 1);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::u16string(table[0].szName), u"english");
    EXPECT_EQ(std::u16string(table[1].szName), u"german");
    EXPECT_EQ(table[1].nLangIds, 2);
    EXPECT_EQ(table[1].wLangIds[1], 0x0807);
    EXPECT_EQ(std::u16string(table[2].szName), u"french");
    FreeMem(table);

    EXPECT_EQ(GetSupportedLang((folder.InfoAnsi() + ".missing").c_str(), &count, &table), 0);
    EXPECT_EQ(GetSupportedLang(nullptr, &count, &table), 0);
    WriteText(ini, "no sections at all\r\n");
    ASSERT_EQ(GetSupportedLang(ini.string().c_str(), &count, &table), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(table, nullptr);
}

TEST(OrbelDll, ImageInfoWrittenSelectedAndReadBack) {
    StoreFolder folder(L"info");
    std::filesystem::create_directories(folder.Images());
    const std::string path = folder.InfoAnsi();
    ImageDataStruct a{}, b{}, c{};
    a.stTime = {2026, 12, 1, 7, 14, 3, 5, 120};
    b.stTime = {2026, 12, 1, 7, 14, 3, 6, 0};
    c.stTime = {2026, 12, 1, 7, 9, 0, 0, 1};
    a.bSelected = b.bSelected = c.bSelected = 1;
    ImageDataStruct* three[] = {&a, &b, &c};
    EXPECT_EQ(StoreImageInfo(path.c_str(), three, 3), 1);
    ImageDataStruct* two[] = {&c, &a};
    EXPECT_EQ(StoreImageInfo(path.c_str(), two, 2), 1); // fewer: no stale third entry
    EXPECT_EQ(UpdateSelectionStatus(path.c_str(), 1, 0), 1);
    EXPECT_EQ(UpdateSelectionStatus(path.c_str(), 2, 0), 0);

    ImageInfoStuct* entries = nullptr;
    int count = 0;
    ASSERT_EQ(GetImageInfo(path.c_str(), &entries, &count), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(entries[0].nFileNumber, 90000001);
    EXPECT_EQ(entries[0].bSelected, 1);
    EXPECT_EQ(entries[1].nFileNumber, 140305120);
    EXPECT_EQ(entries[1].bSelected, 0);
    EXPECT_EQ(entries[1].stTime.wYear, 2026);
    EXPECT_EQ(entries[1].stTime.wDay, 7);
    FreeMem(entries);

    ImageDataStruct* tooMany[65] = {};
    EXPECT_EQ(StoreImageInfo(path.c_str(), tooMany, 65), 0);
    ImageDataStruct* withNull[] = {&a, nullptr};
    EXPECT_EQ(StoreImageInfo(path.c_str(), withNull, 2), 0);
    EXPECT_EQ(GetImageInfo((path + ".missing").c_str(), &entries, &count), 0);

    // A section far larger than the first read buffer, with garbage between the lines: the
    // newest 1024 sound entries come back.
    std::string big = "[ImageInfo]\r\n";
    for (int i = 0; i < 3000; ++i) {
        big += "Image" + std::to_string(i) + "=" + std::to_string(100000000 + i) +
               ",2026-12-07,1,1\r\n\x01\xff=\xfe\r\n";
    }
    WriteText(path, big);
    ASSERT_EQ(GetImageInfo(path.c_str(), &entries, &count), 1);
    ASSERT_EQ(count, 1024);
    EXPECT_EQ(entries[0].nFileNumber, 100000000 + 3000 - 1024);
    EXPECT_EQ(entries[1023].nFileNumber, 100002999);
    FreeMem(entries);
}

// A missing list and one another program holds open without sharing are told apart, so that
// the store reads an unreadable list again instead of taking it for an empty one; a program
// that shares the file does not stop the reading.
TEST(OrbelDll, ImageInfoThatCannotBeReadIsNotAMissingOne) {
    StoreFolder folder(L"infoheld");
    std::filesystem::create_directories(folder.Images());
    const std::string path = folder.InfoAnsi();
    ImageInfoStuct* entries = nullptr;
    int count = -1;
    EXPECT_EQ(GetImageInfo(path.c_str(), &entries, &count), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WriteText(path, "[ImageInfo]\r\nCount=1\r\nImage0=113001000,2026-12-07,1,0\r\n");
    struct Case {
        DWORD share;  // of the other program's handle
        int result;
        DWORD error;
    } cases[] = {
        {0, 0, ERROR_SHARING_VIOLATION},
        {FILE_SHARE_READ | FILE_SHARE_WRITE, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.share);
        HANDLE other = CreateFileW(std::filesystem::path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   c.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        SetLastError(0);
        EXPECT_EQ(GetImageInfo(path.c_str(), &entries, &count), c.result);
        if (c.result == 0) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            ASSERT_EQ(count, 1);
            EXPECT_EQ(entries[0].bSelected, 0);
            FreeMem(entries);
        }
        CloseHandle(other);
    }
}

} // namespace
