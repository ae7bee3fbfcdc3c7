// QORSRC.ds driven through DS_Entry directly, as a manager would: identity, states, status,
// failure boxes, language registry value, the log and the control triplets before any image.
#include <windows.h>
// after windows.h
#include "twain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "tests/support/box_watcher.h"

namespace {

using DsEntry = TW_UINT16(PASCAL*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

std::wstring BinFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *(wcsrchr(path, L'\\') + 1) = 0;
    return path;
}

std::wstring InstalPath() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", L"InstalPath", RRF_RT_REG_SZ, nullptr, value,
                 &size);
    return value;
}

void SetInstalPath(const std::wstring& path) {
    HKEY key;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", &key) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

DWORD LanguageIdInRegistry() {
    DWORD value = 0, size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", L"LanguageID", RRF_RT_REG_DWORD, nullptr,
                 &value, &size);
    return value;
}

struct Source : ::testing::Test {
    HMODULE module = nullptr;
    DsEntry entry = nullptr;
    TW_IDENTITY app{};
    TW_IDENTITY ds{};
    DWORD savedLanguage = 0;
    std::wstring savedPath;

    void SetUp() override {
        savedLanguage = LanguageIdInRegistry();
        savedPath = InstalPath();
        module = LoadLibraryW((BinFolder() + L"QORSRC.ds").c_str());
        ASSERT_NE(module, nullptr);
        FARPROC proc = GetProcAddress(module, "DS_Entry");
        ASSERT_NE(proc, nullptr);
        std::memcpy(&entry, &proc, sizeof entry);
        app.Id = 7;
        app.ProtocolMajor = 1;
        app.ProtocolMinor = 9;
        app.Version.Language = TWLG_USERLOCALE;
        std::strcpy(app.ProductName, "ds tests");
    }
    void TearDown() override {
        HKEY key;
        if (RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", &key) == ERROR_SUCCESS) {
            RegSetValueExW(key, L"LanguageID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&savedLanguage), 4);
            RegCloseKey(key);
        }
        SetInstalPath(savedPath);
        if (module) FreeLibrary(module);
    }
    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data, TW_UINT32 origin = 7) {
        TW_IDENTITY from = app;
        from.Id = origin;
        return entry(&from, dg, dat, msg, data);
    }
    TW_UINT16 Condition() {
        TW_STATUS status{};
        EXPECT_EQ(Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
        return status.ConditionCode;
    }
    // Runs a call that must fail with the source's error box, which the robot closes.
    TW_UINT16 WithBox(const std::function<TW_UINT16()>& call, bool expectBox = true) {
        BoxWatcher watcher(L"QOR SRC", 50);
        const TW_UINT16 rc = call();
        if (expectBox) watcher.Join();
        EXPECT_EQ(watcher.Seen(), expectBox);
        if (expectBox) {
            EXPECT_EQ(watcher.Text(), L"An internal software error has occurred!");
        }
        return rc;
    }
};

std::string ReadFile(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST_F(Source, IdentityStatesStatusAndControlTripletsBeforeAnyImage) {
    TW_IDENTITY id{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_STREQ(id.Manufacturer, "Halvex Imaging");
    EXPECT_STREQ(id.ProductFamily, "TWAIN");
    EXPECT_STREQ(id.ProductName, "QOR SOURCE");
    EXPECT_STREQ(id.Version.Info, "Version 1.0.0.1");
    EXPECT_EQ(id.ProtocolMajor, 1);
    EXPECT_EQ(id.ProtocolMinor, 9);
    EXPECT_EQ(id.SupportedGroups, static_cast<TW_UINT32>(DG_CONTROL | DG_IMAGE));
    EXPECT_EQ(id.Version.Language, TWLG_USA);

    TW_CAPABILITY cap{ICAP_UNITS, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_CAPUNSUPPORTED);
    EXPECT_EQ(WithBox([&] { return Call(0x8, DAT_IDENTITY, MSG_GET, &id); }, false), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_BADPROTOCOL);
    EXPECT_EQ(Condition(), TWCC_SUCCESS);  // read once, then cleared
    EXPECT_EQ(WithBox([&] { return Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds); }), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);

    // Open with the application's language TWLG_USERLOCALE: LanguageID 0x0800 is written.
    ds = id;
    ds.Id = 3;
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds), TWRC_SUCCESS);
    EXPECT_EQ(LanguageIdInRegistry(), 0x0800u);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(id.Id, 3u);  // the Id the manager assigned
    // A second MSG_OPENDS means the manager dropped the first session: it is ended and the
    // source opens again, without a box.
    EXPECT_EQ(WithBox([&] { return Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds); }, false), TWRC_SUCCESS);
    // Another application's triplets are not dispatched.
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds, 8), TWRC_FAILURE);

    TW_EVENT event{};
    MSG msg{};
    event.pEvent = &msg;
    EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);

    TW_SETUPFILEXFER file{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &file), TWRC_SUCCESS);
    EXPECT_STREQ(file.FileName, "c:\\twain.bmp");
    const std::string target = "C:\\qorsrc_ds_tests_target.bmp";
    std::strcpy(file.FileName, target.c_str());
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_SUCCESS);
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &file), TWRC_SUCCESS);
    EXPECT_EQ(file.FileName, target);
    ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &file), TWRC_SUCCESS);
    EXPECT_STREQ(file.FileName, "c:\\twain.bmp");
    DeleteFileA(target.c_str());

    TW_PENDINGXFERS pending{};
    pending.Count = 9;
    EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    TW_UINT32 group = 0;
    EXPECT_EQ(Call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(group, static_cast<TW_UINT32>(DG_IMAGE));
    TW_IMAGELAYOUT layout{};
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(layout.Frame.Left.Whole, 22);
    EXPECT_EQ(layout.Frame.Bottom.Frac, 33);
    EXPECT_EQ(layout.PageNumber, 88u);
    TW_SETUPMEMXFER mem{};
    EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &mem), TWRC_SUCCESS);
    EXPECT_EQ(mem.Preferred, 65535u);
    TW_HANDLE handle = nullptr;
    EXPECT_EQ(WithBox([&] { return Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle); }), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    EXPECT_EQ(handle, nullptr);

    // A capability set survives closing and opening.
    TW_CAPABILITY set{ICAP_XFERMECH, TWON_ONEVALUE, GlobalAlloc(GMEM_MOVEABLE, sizeof(TW_ONEVALUE))};
    auto* one = static_cast<pTW_ONEVALUE>(GlobalLock(set.hContainer));
    one->ItemType = TWTY_UINT16;
    one->Item = TWSX_MEMORY;
    GlobalUnlock(set.hContainer);
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    GlobalFree(set.hContainer);

    const std::wstring log = BinFolder() + L"QorSrcLog.txt";
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
    EXPECT_NE(ReadFile(log).find("SetupFileXferMsg"), std::string::npos);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds), TWRC_SUCCESS);
    EXPECT_EQ(ReadFile(log).find("SetupFileXferMsg"), std::string::npos);  // emptied at the open
    TW_CAPABILITY current{ICAP_XFERMECH, TWON_DONTCARE16, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &current), TWRC_SUCCESS);
    one = static_cast<pTW_ONEVALUE>(GlobalLock(current.hContainer));
    EXPECT_EQ(one->Item, static_cast<TW_UINT32>(TWSX_MEMORY));
    GlobalUnlock(current.hContainer);
    GlobalFree(current.hContainer);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
}

TEST_F(Source, WithoutUserInterfaceNoImageMeansStateFiveAndNoBoxes) {
    // QOR APP cannot be started from an empty folder and its store there is empty.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring empty = std::wstring(temp) + L"qorsrc_ds_tests_empty";
    CreateDirectoryW(empty.c_str(), nullptr);
    SetInstalPath(empty);
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);

    TW_IDENTITY id{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    ds = id;
    ds.Id = 4;
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds), TWRC_SUCCESS);
    TW_USERINTERFACE ui{};
    ui.ShowUI = FALSE;
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    // Nothing to transfer: state 5, so a transfer is out of sequence, reported without a box.
    TW_HANDLE handle = nullptr;
    EXPECT_EQ(WithBox([&] { return Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle); }, false), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    TW_PENDINGXFERS pending{};
    EXPECT_EQ(WithBox([&] { return Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending); }, false), TWRC_FAILURE);
    EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    TW_EVENT event{};
    MSG msg{};
    event.pEvent = &msg;
    EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
    EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
    SetCurrentDirectoryW(before);
    RemoveDirectoryW(empty.c_str());
}
