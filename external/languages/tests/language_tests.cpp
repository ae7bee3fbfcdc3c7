// CLanguage with the real language libraries, "Language.ini" and the Orbel library under Wine:
// choice by identifier and by name, fall-backs to the program's own texts, missing and broken
// libraries, and libraries that must hold every text both programs read.
#include "common/language.h"

#include "common/core/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path ProgramFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

std::wstring Folder(const fs::path& folder) { return folder.wstring() + L"\\"; }

std::wstring Read(CLanguage& language, UINT id) {
    wchar_t text[200] = {};
    language.ReadStringFromDLL(id, text, 200);
    return text;
}

std::string LogText() {
    std::ifstream in(ProgramFolder() / "language_tests_log.txt");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder with its own "Language.ini" and the named libraries copied from the build.
fs::path MakeInstall(const std::string& name, const std::string& table,
                     std::initializer_list<const char*> libraries) {
    const fs::path folder = ProgramFolder() / "language_tests" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "Language.ini") << "[Languages]\r\n" << table;
    for (const char* library : libraries) {
        fs::copy_file(ProgramFolder() / library, folder / library);
    }
    return folder;
}

class Language : public testing::Test {
protected:
    static void SetUpTestSuite() {
        TheLogFile().Open((ProgramFolder() / "language_tests_log.txt").string().c_str(), 0);
    }
    int Init(CLanguage& language, const fs::path& folder) {
        return language.Init("Language.ini", L"english", GetModuleHandleW(nullptr),
                             Folder(folder).c_str());
    }
};

TEST_F(Language, ChoosesByIdentifierAndFallsBackToTheProgramsOwnTexts) {
    struct Case {
        WORD id;
        int result;
        const wchar_t* language;
        const wchar_t* library;  // file name of the loaded library, or nullptr
        const wchar_t* text111;
        const wchar_t* text122;
    } cases[] = {
        {0x0407, 1, L"german", L"german.dll", L"Alle Bilder löschen",
         L"Der QOR-Sensor kann jetzt sicher vom System getrennt werden. "},
        {0x0C07, 1, L"german", L"german.dll", L"Alle Bilder löschen", nullptr},
        {0x040C, 1, L"french", L"french.dll", L"Supprimer toutes les images", nullptr},
        {0x0409, 1, L"english", nullptr, L"Delete All Images",
         L"The QOR sensor can now be safely removed from the system. "},
        {0x0809, 1, L"english", nullptr, L"Delete All Images", nullptr},
        // A program that says only the language (TWLG_ENGLISH, TWLG_GERMAN): that language.
        {0x0009, 1, L"english", nullptr, L"Delete All Images", nullptr},
        {0x0007, 1, L"german", L"german.dll", L"Alle Bilder löschen", nullptr},
        {0x0411, 0, L"", nullptr, L"Delete All Images", nullptr},
    };
    CLanguage language;
    ASSERT_EQ(Init(language, ProgramFolder()), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(language.LoadLanguage(c.id), c.result);
        EXPECT_STREQ(language.CurrentLanguage(), c.language);
        EXPECT_EQ(language.LanguageDll() != nullptr, c.library != nullptr);
        if (c.library != nullptr) {
            EXPECT_EQ(std::wstring(language.DllPath()), Folder(ProgramFolder()) + c.library);
        }
        EXPECT_EQ(Read(language, 111), c.text111);
        if (c.text122 != nullptr) {
            EXPECT_EQ(Read(language, 122), c.text122);
        }
    }
    // Each choice released the library before it: none of them stays loaded.
    EXPECT_EQ(GetModuleHandleW(L"german.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"french.dll"), nullptr);
}

TEST_F(Language, KeepsItsSequenceRules) {
    CLanguage language;
    EXPECT_EQ(language.LoadLanguage(WORD{0x0407}), 0);  // before Init
    EXPECT_NE(LogText().find("CLanguage::LoadLanguage Invalid Sequence!\n"), std::string::npos);
    EXPECT_EQ(language.ReleaseLanguage(), 0);
    EXPECT_EQ(language.Init(nullptr, L"english", nullptr, L"./"), 0);
    EXPECT_NE(LogText().find("CLanguage::Init Invalid Pointers\n"), std::string::npos);
    ASSERT_EQ(Init(language, ProgramFolder()), 1);
    // A second Init keeps the table it holds, even when pointed at another folder.
    EXPECT_EQ(Init(language, MakeInstall("empty", "", {})), 0);
    EXPECT_EQ(Init(language, ProgramFolder()), 0);
    EXPECT_EQ(language.LoadLanguage(WORD{0x0407}), 1);
    // A text the library lacks is not taken from the program, and a bad buffer is refused.
    wchar_t text[32] = {};
    EXPECT_EQ(language.ReadStringFromDLL(900, text, 32), 0);
    EXPECT_STREQ(text, L"");
    EXPECT_EQ(language.ReadStringFromDLL(111, nullptr, 32), 0);
    EXPECT_EQ(language.ReadStringFromDLL(111, text, 0), 0);
    EXPECT_STREQ(text, L"");
    EXPECT_EQ(language.ReleaseLanguage(), 1);
    EXPECT_STREQ(language.CurrentLanguage(), L"");
    EXPECT_EQ(language.ReleaseLanguage(), 0);
    EXPECT_EQ(Read(language, 900), L"only in the program");
}

TEST_F(Language, MissingOrBrokenLibrariesLeaveTheProgramsOwnTexts) {
    // The first record for the identifier has no library, a later one has.
    const fs::path later = MakeInstall("later", "klingon=0407\r\ngerman=0407\r\n", {"german.dll"});
    CLanguage first;
    ASSERT_EQ(Init(first, later), 1);
    EXPECT_EQ(first.LoadLanguage(WORD{0x0407}), 1);
    EXPECT_STREQ(first.CurrentLanguage(), L"german");
    EXPECT_NE(LogText().find("CLanguage::LoadLanguage Could not find " +
                             (later / "klingon.dll").string() + "!\n"),
              std::string::npos);

    // No library at all, then a file that is no library.
    const fs::path broken = MakeInstall("broken", "german=0407\r\nfrench=040C\r\n", {});
    std::ofstream(broken / "french.dll") << "not a library";
    CLanguage second;
    ASSERT_EQ(Init(second, broken), 1);
    for (WORD id : {WORD{0x0407}, WORD{0x040C}}) {
        EXPECT_EQ(second.LoadLanguage(id), 0);
        EXPECT_EQ(second.LanguageDll(), nullptr);
        EXPECT_STREQ(second.DllPath(), L"");
        EXPECT_STREQ(second.CurrentLanguage(), L"");
        EXPECT_EQ(Read(second, 117), L"Exit QOR");
    }
    EXPECT_NE(LogText().find("CLanguage::LoadLanguage LoadLibrary Failed while Loading " +
                             (broken / "french.dll").string() + " with error code"),
              std::string::npos);

    // No table file: Init fails, and so does every choice.
    CLanguage third;
    EXPECT_EQ(Init(third, ProgramFolder() / "no such folder"), 0);
    EXPECT_EQ(third.LoadLanguage(WORD{0x0409}), 0);
    EXPECT_EQ(Read(third, 131), L"QOR APP");
}

// The data source's choice by name finds the library through the search order (here the
// current folder), and the built-in language needs none.
TEST_F(Language, ChoosesByName) {
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(ProgramFolder().c_str()));
    CLanguage language;
    ASSERT_EQ(Init(language, ProgramFolder()), 1);
    EXPECT_EQ(language.LoadLanguage(L"GERMAN"), 1);
    EXPECT_STREQ(language.DllPath(), L"german.dll");
    EXPECT_EQ(Read(language, 128), L"Abbrechen");
    EXPECT_EQ(language.LoadLanguage(L"english"), 1);
    EXPECT_EQ(language.LanguageDll(), nullptr);
    EXPECT_EQ(Read(language, 128), L"Cancel");
    EXPECT_EQ(language.LoadLanguage(L"spanish"), 0);
    EXPECT_EQ(language.LoadLanguage(static_cast<const wchar_t*>(nullptr)), 0);
    ASSERT_TRUE(SetCurrentDirectoryW(MakeInstall("elsewhere", "", {}).c_str()));
    EXPECT_EQ(language.LoadLanguage(L"french"), 0);
    EXPECT_STREQ(language.CurrentLanguage(), L"");
    SetCurrentDirectoryW(previous);
}

// Conversions in the order they appear, which the callers' formatting relies on.
std::wstring Conversions(const std::wstring& text) {
    std::wstring out;
    const std::wregex conversion(L"%[-+ #0-9.]*[a-zA-Z%]");
    for (auto it = std::wsregex_iterator(text.begin(), text.end(), conversion);
         it != std::wsregex_iterator(); ++it) {
        out += it->str();
    }
    return out;
}

std::wstring LoadText(HMODULE module, UINT id) {
    wchar_t text[512] = {};
    LoadStringW(module, id, text, 512);
    return text;
}

TEST(LanguageLibraries, HoldEveryTextBothProgramsReadInTheSameForm) {
    const HMODULE application = GetModuleHandleW(nullptr);
    const HMODULE source = LoadLibraryExW((ProgramFolder() / "qorsrc_strings_en.dll").c_str(),
                                          nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(source, nullptr);
    for (const wchar_t* name : {L"german.dll", L"french.dll"}) {
        SCOPED_TRACE(name);
        const HMODULE library =
            LoadLibraryExW((ProgramFolder() / name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(library, nullptr);
        // The application's texts 101..143; for 133, which only the data source reads, the
        // data source's form with its trailing blank.
        for (UINT id = 101; id <= 143; ++id) {
            const std::wstring english = LoadText(id == 133 ? source : application, id);
            const std::wstring translated = LoadText(library, id);
            SCOPED_TRACE(id);
            ASSERT_FALSE(english.empty());
            ASSERT_FALSE(translated.empty());
            EXPECT_EQ(Conversions(translated), Conversions(english));
            EXPECT_EQ(translated.back() == L' ', english.back() == L' ');
        }
        // The texts added later: a box at exit, the balloon of a failed store write, and the
        // store's notices (a list it could not read, an image it could not delete, a full store).
        for (UINT id : {160u, 161u, 170u, 171u, 172u, 173u}) {
            SCOPED_TRACE(id);
            EXPECT_FALSE(LoadText(application, id).empty());
            EXPECT_FALSE(LoadText(library, id).empty());
            EXPECT_EQ(Conversions(LoadText(library, id)), Conversions(LoadText(application, id)));
            // QOR APP reads its texts into 200 characters.
            EXPECT_LT(LoadText(library, id).size(), 200u);
            EXPECT_LT(LoadText(application, id).size(), 200u);
        }
        for (UINT id : {102u, 128u, 132u, 134u}) {
            EXPECT_EQ(Conversions(LoadText(library, id)), Conversions(LoadText(source, id)));
        }
        // The source's own texts have numbers no library uses for another text: a library that
        // does not translate them leaves them in English instead of putting QOR APP's in their place.
        for (UINT id = 135; id < 1000; ++id) {
            if (LoadText(source, id).empty()) continue;
            SCOPED_TRACE(id);
            EXPECT_TRUE(LoadText(library, id).empty());
        }
        FreeLibrary(library);
    }
    EXPECT_EQ(LoadText(source, 133), L"Transferring Image(s) (%d/%d) ");
    EXPECT_EQ(LoadText(application, 133), L"Transferring Image(s) (%d/%d)");
    FreeLibrary(source);
}

}  // namespace
