// QORSRC.ds as imaging programs and managers treat it, driven through DS_Entry directly: a
// session the manager dropped, the library unloaded while enabled, MSG_PROCESSEVENT sent with a
// DAT other than DAT_EVENT. The source under test is QOR_SOURCE_UNDER_TEST (an installed
// source), else QORSRC.ds beside this program. QOR APP is kept out: "InstalPath" names an
// empty folder while a case runs.
#include <windows.h>
// after windows.h
#include "twain.h"

#include "twain_source/tests/source_under_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/box_answerer.h"

namespace {

using DsEntry = TW_UINT16(PASCAL*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
constexpr const wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";

using source_under_test::ReadInstalPath;
using source_under_test::SourcePath;
using source_under_test::WriteInstalPath;

// This thread's top-level windows with the title (the source's dialog belongs to the thread
// that enabled it).
struct TitleSearch {
    const wchar_t* title;
    HWND found;
};

// A named callback: a lambda converts only to the default calling convention, not to the
// stdcall one of the i686 build.
BOOL CALLBACK MatchTitle(HWND window, LPARAM data) {
    auto* f = reinterpret_cast<TitleSearch*>(data);
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    if (wcscmp(text, f->title) == 0) f->found = window;
    return f->found == nullptr;
}

HWND ThreadWindow(const wchar_t* title) {
    TitleSearch find{title, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchTitle, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

void PumpFor(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

class HostHabits : public ::testing::Test {
protected:
    HMODULE module = nullptr;
    DsEntry entry = nullptr;
    TW_IDENTITY ds{};
    std::wstring savedPath;
    std::wstring emptyFolder;
    BoxAnswerer boxes{L"QOR SRC"};  // the source's error boxes, should it show any

    void SetUp() override {
        savedPath = ReadInstalPath();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        emptyFolder = std::wstring(temp) + L"qorsrc_host_habits_empty";
        CreateDirectoryW(emptyFolder.c_str(), nullptr);
        WriteInstalPath(emptyFolder);
        Load();
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
        WriteInstalPath(savedPath);
        RemoveDirectoryW(emptyFolder.c_str());
    }
    void Load() {
        module = LoadLibraryW(SourcePath().c_str());
        ASSERT_NE(module, nullptr) << "cannot load the source; set QOR_SOURCE_UNDER_TEST";
        FARPROC proc = GetProcAddress(module, "DS_Entry");
        ASSERT_NE(proc, nullptr);
        std::memcpy(&entry, &proc, sizeof entry);
        TW_IDENTITY app = App(0);
        ASSERT_EQ(entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_GET, &ds), TWRC_SUCCESS);
    }
    static TW_IDENTITY App(TW_UINT32 id) {
        TW_IDENTITY app{};
        app.Id = id;
        app.ProtocolMajor = 1;
        app.ProtocolMinor = 9;
        app.Version.Language = TWLG_USA;
        std::strcpy(app.ProductName, "host habits");
        return app;
    }
    TW_UINT16 Call(TW_UINT32 app, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        TW_IDENTITY origin = App(app);
        return entry(&origin, dg, dat, msg, data);
    }
    TW_UINT16 Condition(TW_UINT32 app) {
        TW_STATUS status{};
        Call(app, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }
    TW_UINT16 Open(TW_UINT32 app) { return Call(app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds); }
};

}  // namespace

// A manager that was closed without MSG_CLOSEDS (or a program that reopened the manager) leaves
// the source open; the next MSG_OPENDS, from the same Id (Wine's manager assigns none) or a new
// one, must end that session and open, in every state the dropped session may have reached.
TEST_F(HostHabits, StaleSessionIsEndedByTheNextOpen) {
    struct Case {
        TW_UINT32 firstApp, secondApp;
        bool enabled;
        TW_BOOL showUi;
    };
    for (const Case& c : {Case{0, 0, false, FALSE}, Case{1, 2, false, FALSE}, Case{0, 0, true, FALSE},
                          Case{3, 4, true, TRUE}}) {
        SCOPED_TRACE(testing::Message() << "apps " << c.firstApp << "->" << c.secondApp << " enabled " << c.enabled
                                        << " ShowUI " << c.showUi);
        ASSERT_EQ(Open(c.firstApp), TWRC_SUCCESS);
        TW_USERINTERFACE ui{};
        ui.ShowUI = c.showUi;
        if (c.enabled) {
            ASSERT_EQ(Call(c.firstApp, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        }
        // The manager forgets the session; a new one opens the source.
        EXPECT_EQ(Open(c.secondApp), TWRC_SUCCESS) << "condition " << Condition(c.secondApp);
        EXPECT_EQ(ThreadWindow(L"QOR SRC"), nullptr) << "the dropped session's window is still there";
        EXPECT_EQ(Call(c.secondApp, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_EQ(Call(c.secondApp, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_EQ(Call(c.secondApp, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
    }
}

// DAT_PENDINGXFERS with MSG_PROCESSEVENT (as one real program sends it) carries a
// TW_PENDINGXFERS, not a TW_EVENT: its Count must not be taken for a MSG pointer.
TEST_F(HostHabits, ProcessEventWithAnotherDatIsNoEvent) {
    for (TW_BOOL showUi : {TW_BOOL{FALSE}, TW_BOOL{TRUE}}) {
        SCOPED_TRACE(showUi);
        ASSERT_EQ(Open(7), TWRC_SUCCESS);
        TW_USERINTERFACE ui{};
        ui.ShowUI = showUi;
        ASSERT_EQ(Call(7, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        TW_PENDINGXFERS pending{};
        pending.Count = 1;
        EXPECT_EQ(Call(7, DG_CONTROL, DAT_PENDINGXFERS, MSG_PROCESSEVENT, &pending), TWRC_FAILURE);
        EXPECT_EQ(Condition(7), TWCC_BADPROTOCOL);
        EXPECT_EQ(pending.Count, 1);
        // A real event still goes through DAT_EVENT.
        MSG msg{};
        TW_EVENT event{&msg, MSG_NULL};
        EXPECT_EQ(Call(7, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
        EXPECT_EQ(Call(7, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_EQ(Call(7, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
    }
}

// An imaging program that unloads the source while it is enabled: the source's window and its
// timer must go with the code they call, and the program's message loop must go on.
TEST_F(HostHabits, UnloadWhileEnabledEndsTheWindowAndItsTimer) {
    for (TW_BOOL showUi : {TW_BOOL{TRUE}, TW_BOOL{FALSE}}) {
        SCOPED_TRACE(showUi);
        if (module == nullptr) Load();
        ASSERT_EQ(Open(5), TWRC_SUCCESS);
        TW_USERINTERFACE ui{};
        ui.ShowUI = showUi;
        ASSERT_EQ(Call(5, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        HWND dialog = ThreadWindow(showUi ? L"QOR SRC" : L"Dialog");
        ASSERT_NE(dialog, nullptr);
        PumpFor(300);  // the timer runs
        ASSERT_TRUE(FreeLibrary(module));
        module = nullptr;
        entry = nullptr;
        ASSERT_EQ(GetModuleHandleW(SourcePath().c_str()), nullptr) << "the source is still loaded";
        // A window left behind would run unloaded code on its next timer tick: look before
        // pumping, so that today's fault shows as a failure instead of a hang.
        ASSERT_FALSE(IsWindow(dialog)) << "the source's window outlived the source";
        PumpFor(600);
    }
}
