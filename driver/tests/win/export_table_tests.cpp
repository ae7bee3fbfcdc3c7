// The export table of the built Qor.dll, read from the loaded image, against the fixed table.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

// ordinal -> name, as the DLL's export directory has them.
std::map<DWORD, std::string> ExportsOf(HMODULE module) {
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    std::map<DWORD, std::string> table;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        table[exports->Base + ordinals[i]] = reinterpret_cast<const char*>(base + names[i]);
    }
    return table;
}

// The fixed table: "ordinal name bytes" lines.
std::map<DWORD, std::string> FixedTable() {
    std::ifstream in(QOR_EXPORTS_TABLE);
    std::map<DWORD, std::string> table;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        DWORD ordinal = 0;
        std::string name;
        if (fields >> ordinal >> name) {
            table[ordinal] = name;
        }
    }
    return table;
}

TEST(QorExportTable, MatchesTheFixedOrdinalsAndPlainNames) {
    HMODULE module = GetModuleHandleW(L"Qor.dll");
    ASSERT_NE(nullptr, module);
    const auto fixed = FixedTable();
    ASSERT_EQ(41u, fixed.size());
    EXPECT_EQ(fixed, ExportsOf(module));
    EXPECT_EQ(0u, fixed.count(28));
    EXPECT_EQ("QorFinishExp", fixed.at(1));
    EXPECT_EQ("GetImagerID", fixed.at(5));
    EXPECT_EQ("KelvoGetImgData", fixed.at(12));
    EXPECT_EQ("QorGetHWInfo", fixed.at(25));
    EXPECT_EQ("QorSetDemoMode", fixed.at(42));
}

TEST(QorExportTable, OrdinalsResolveToTheNamedEntries) {
    HMODULE module = GetModuleHandleW(L"Qor.dll");
    ASSERT_NE(nullptr, module);
    for (const auto& [ordinal, name] : FixedTable()) {
        EXPECT_EQ(GetProcAddress(module, name.c_str()),
                  GetProcAddress(module, MAKEINTRESOURCEA(ordinal)))
            << name;
    }
}

}  // namespace
