#include "twain_source/win/source_session.h"

SourceSession g_session;
HINSTANCE g_hInstance = nullptr;
CLanguage g_language;

void ReadString(UINT id, wchar_t* buffer, int size) {
    buffer[0] = 0;
    if (!g_language.ReadStringFromDLL(id, buffer, size)) LoadStringW(g_hInstance, id, buffer, size);
}
