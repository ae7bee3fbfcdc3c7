// CLanguage: the user-visible texts of a component in the user's language. The languages on offer
// come from the Orbel library's language table ("Language.ini"); each one other than the built-in
// language is a resource-only library "<name>.dll" with the same string ids as the component.
// Compiled into both QOR APP and the data source; one thread (the owner's) uses an object.
#pragma once

#include <windows.h>

#include "external/orbel/orbel.h"

class CLanguage {
public:
    CLanguage();
    ~CLanguage();
    CLanguage(const CLanguage&) = delete;
    CLanguage& operator=(const CLanguage&) = delete;

    // Reads the language table once per object: `tableFile` (ANSI) below `basePath` (with its
    // trailing separator). 0 for a null argument, a table already held or an unreadable table.
    int Init(const char* tableFile, const wchar_t* defaultLanguage, HMODULE ownModule,
             const wchar_t* basePath);
    // Chooses the first language whose record lists `languageId` and whose library loads (the
    // built-in language loads nothing). 0 when none does; texts then come from the own module.
    int LoadLanguage(WORD languageId);
    // The data source's choice by name; the library is found by the system's search order.
    int LoadLanguage(const wchar_t* name);
    // 0 when no library is loaded; otherwise FreeLibrary's result.
    int ReleaseLanguage();
    // 1 when string `id` was copied into `buffer` (`size` characters, terminator included).
    int ReadStringFromDLL(UINT id, wchar_t* buffer, int size);

    const wchar_t* CurrentLanguage() const { return m_szCurrentLanguage; }
    const wchar_t* DllPath() const { return m_szDllPath; }
    HMODULE LanguageDll() const { return m_hLanguageDll; }

private:
    void ClearChoice();
    // Makes `name` the current language with the library "<folder><name>.dll": 1 for the built-in
    // language (nothing loaded) or a library that loaded; otherwise logs why and answers 0.
    int Choose(const wchar_t* folder, const wchar_t* name);

    int m_nLanguages;
    LanguageInfoStruct* m_pLanguages;
    wchar_t m_szBasePath[MAX_PATH];
    wchar_t m_szCurrentLanguage[256];
    wchar_t m_szDefaultLanguage[256];
    HMODULE m_hLanguageDll;
    HMODULE m_hDefaultInstance;
    wchar_t m_szDllPath[MAX_PATH];
};
