// CLanguage: the user-visible texts of a component in the user's language. The languages on offer
// come from the Orbel library's language table ("Language.ini"); each one other than the built-in
// language is a resource-only library "<name>.dll" with the same string ids as the component.
// Compiled into both QOR APP and the data source; one thread (the owner's) uses an object.
#pragma once

#include <windows.h>

#include <vector>

#include "external/orbel/orbel.h"

// The two calls of the Orbel library that read the language table. QOR APP links the library; the
// TWAIN source runs inside other programs, whose folders lack it, and loads it by full path.
struct OrbelLanguageCalls {
    int (*getSupportedLang)(const char* path, int* count, LanguageInfoStruct** table);
    void (*freeMem)(LanguageInfoStruct* table);
};

class CLanguage {
public:
    CLanguage();
    ~CLanguage();
    CLanguage(const CLanguage&) = delete;
    CLanguage& operator=(const CLanguage&) = delete;

    // Reads the language table once per object: `tableFile` (ANSI) below `basePath` (with its
    // trailing separator), through `orbel`. The object keeps a copy of the table, so the library
    // may be unloaded once Init returns. 0 for a null argument, a table already held or an
    // unreadable table.
    int Init(const char* tableFile, const wchar_t* defaultLanguage, HMODULE ownModule,
             const wchar_t* basePath, const OrbelLanguageCalls& orbel);
    // The same through the Orbel library linked at load time (defined here, so that a component
    // which never calls it does not import the library).
    int Init(const char* tableFile, const wchar_t* defaultLanguage, HMODULE ownModule,
             const wchar_t* basePath) {
        return Init(tableFile, defaultLanguage, ownModule, basePath,
                    OrbelLanguageCalls{&GetSupportedLang, &FreeMem});
    }
    // Chooses the first language whose record lists `languageId` and whose library loads (the
    // built-in language loads nothing). 0 when none does; texts then come from the own module.
    int LoadLanguage(WORD languageId);
    // The data source's choice by name; the library is found by the system's search order.
    int LoadLanguage(const wchar_t* name);
    // 0 when no library is loaded; otherwise FreeLibrary's result.
    int ReleaseLanguage();
    // 1 when string `id` was copied into `buffer` (`size` characters, terminator included).
    int ReadStringFromDLL(UINT id, wchar_t* buffer, int size);

    // True once a table was read; Init then answers 0 without reading again.
    bool TableHeld() const { return m_bTableHeld; }
    const wchar_t* CurrentLanguage() const { return m_szCurrentLanguage; }
    const wchar_t* DllPath() const { return m_szDllPath; }
    HMODULE LanguageDll() const { return m_hLanguageDll; }

private:
    void ClearChoice();
    // Makes `name` the current language with the library "<folder><name>.dll": 1 for the built-in
    // language (nothing loaded) or a library that loaded; otherwise logs why and answers 0.
    int Choose(const wchar_t* folder, const wchar_t* name);

    int m_nLanguages;
    std::vector<LanguageInfoStruct> m_languages;  // the table
    bool m_bTableHeld = false;                    // read (perhaps empty) by the first good Init
    wchar_t m_szBasePath[MAX_PATH];
    wchar_t m_szCurrentLanguage[256];
    wchar_t m_szDefaultLanguage[256];
    HMODULE m_hLanguageDll;
    HMODULE m_hDefaultInstance;
    wchar_t m_szDllPath[MAX_PATH];
};
