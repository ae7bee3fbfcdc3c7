#include "twain_source/win/source_session.h"

SourceSession g_session;
HINSTANCE g_hInstance = nullptr;
CLanguage g_language;

qor::twain::AppProtocol SessionProtocol() {
    if (g_session.state < qor::twain::kState4) return qor::twain::AppProtocol::Twain1;
    return qor::twain::AppProtocolOf(g_session.appIdentity.ProtocolMajor, g_session.appIdentity.ProtocolMinor);
}

void ReadString(UINT id, wchar_t* buffer, int size) {
    buffer[0] = 0;
    if (!g_language.ReadStringFromDLL(id, buffer, size)) LoadStringW(g_hInstance, id, buffer, size);
}
