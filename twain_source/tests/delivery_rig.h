// The rig of the source's delivery tests: QORSRC.ds loaded as a manager would, a stand-in QOR APP
// (fake_qor_app.exe, installed as "QOR APP.exe" in a test installation folder), the imaging
// program's message loop and transfers, and a watcher that answers and counts boxes.
#pragma once
#include <windows.h>
// after windows.h
#include "twain.h"

#include "app/core/image_file_name.h"
#include "twain_source/core/twain_codes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace delivery_rig {

namespace fs = std::filesystem;
using DsEntry = TW_UINT16(PASCAL*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
constexpr wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";
constexpr const char* kInternalError = "An internal software error has occurred!";
constexpr const char* kImpostorText = "Another program serves QOR APP's pipe";
constexpr wchar_t kPipe[] = L"\\\\.\\PIPE\\QOR COMM";

inline fs::path BinFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

inline std::wstring RegistryText(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

inline void SetInstalPath(const std::wstring& path) {
    HKEY key;
    if (RegCreateKeyW(HKEY_LOCAL_MACHINE, kKey, &key) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

inline std::string Narrow(const std::wstring& text) {
    char out[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out, sizeof out, nullptr, nullptr);
    return out;
}

inline bool SamePath(const fs::path& a, const fs::path& b) {
    return CompareStringOrdinal(fs::weakly_canonical(a).wstring().c_str(), -1,
                                fs::weakly_canonical(b).wstring().c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Message boxes of this process (their text control has the id 0xFFFF): how many were shown, how
// many were open at once, their texts. Each is answered with OK once it has been open 300 ms.
class BoxCounter {
public:
    BoxCounter() : m_thread([this] { Watch(); }) {}
    ~BoxCounter() {
        m_stop = true;
        m_thread.join();
    }
    size_t Total() {
        std::lock_guard lock(m_mutex);
        return m_seen.size();
    }
    size_t MostAtOnce() const { return m_mostAtOnce; }
    std::vector<std::string> Texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    struct Found {
        std::vector<HWND> boxes;
    };
    static BOOL CALLBACK Collect(HWND window, LPARAM param) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(window) && GetDlgItem(window, 0xFFFF) != nullptr) {
            reinterpret_cast<Found*>(param)->boxes.push_back(window);
        }
        return TRUE;
    }
    void Watch() {
        std::map<HWND, std::chrono::steady_clock::time_point> open;
        while (!m_stop) {
            Found found;
            EnumWindows(Collect, reinterpret_cast<LPARAM>(&found));
            m_mostAtOnce = std::max(m_mostAtOnce.load(), found.boxes.size());
            if (found.boxes.size() >= 3) {
                // Boxes opening inside each other never end (until the stack overflows): the test
                // cannot get its thread back, so it ends here.
                std::fprintf(stderr, "FAILED: %zu error boxes open inside each other; the source re-enters its "
                                     "timer from its own box\n",
                             found.boxes.size());
                std::fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            const auto now = std::chrono::steady_clock::now();
            for (HWND box : found.boxes) {
                if (!open.count(box)) {
                    open[box] = now;
                    wchar_t text[512] = {};
                    GetDlgItemTextW(box, 0xFFFF, text, 512);
                    std::lock_guard lock(m_mutex);
                    m_seen.insert(box);
                    m_texts.push_back(Narrow(text));
                } else if (now - open[box] > std::chrono::milliseconds(300)) {
                    PostMessageW(box, WM_COMMAND, IDOK, 0);
                }
            }
            Sleep(20);
        }
    }
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_mostAtOnce{0};
    std::mutex m_mutex;
    std::set<HWND> m_seen;
    std::vector<std::string> m_texts;
    std::thread m_thread;
};

struct Delivery : ::testing::Test {
    HMODULE module = nullptr;
    DsEntry entry = nullptr;
    TW_IDENTITY app{};
    TW_IDENTITY ds{};
    fs::path root, install, host;
    std::wstring savedPath;
    fs::path savedCwd;
    bool open = false, enabled = false;
    std::vector<HANDLE> started;

    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = fs::path(temp) / ("qorsrc_delivery_" + std::to_string(GetCurrentProcessId()));
        install = root / "install";
        host = root / "host";
        fs::create_directories(install);
        fs::create_directories(host);
        savedPath = RegistryText(L"InstalPath");
        savedCwd = fs::current_path();
        SetInstalPath(install.wstring());
        // The imaging program works in a folder of its own.
        SetCurrentDirectoryW(host.wstring().c_str());
        module = LoadLibraryW((BinFolder() / "QORSRC.ds").wstring().c_str());
        ASSERT_NE(module, nullptr);
        FARPROC proc = GetProcAddress(module, "DS_Entry");
        ASSERT_NE(proc, nullptr);
        std::memcpy(&entry, &proc, sizeof entry);
        app.Id = 7;
        app.ProtocolMajor = 1;
        app.ProtocolMinor = 9;
        app.Version.Language = TWLG_USA;
        std::strcpy(app.ProductName, "delivery tests");
    }
    void TearDown() override {
        EndSession();
        StopFakes();
        if (module) FreeLibrary(module);
        SetCurrentDirectoryW(savedCwd.wstring().c_str());
        SetInstalPath(savedPath);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
        TW_IDENTITY from = app;
        return entry(&from, dg, dat, msg, data);
    }
    TW_UINT16 Condition() {
        TW_STATUS status{};
        Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        return status.ConditionCode;
    }

    // The stand-in QOR APP in `folder` (the installation folder unless said otherwise).
    void InstallFake(const std::string& mode, long number, const fs::path& folder = {}) {
        const fs::path to = folder.empty() ? install : folder;
        fs::create_directories(to);
        fs::copy_file(BinFolder() / "fake_qor_app.exe", to / "QOR APP.exe", fs::copy_options::overwrite_existing);
        std::ofstream(to / "fake_mode.txt") << mode << " " << number << "\n";
    }
    void StartFake(const fs::path& folder = {}) {
        const fs::path from = folder.empty() ? install : folder;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW((from / "QOR APP.exe").wstring().c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                                   nullptr, from.wstring().c_str(), &startup, &process));
        CloseHandle(process.hThread);
        started.push_back(process.hProcess);
        for (int i = 0; i < 500 && !WaitNamedPipeW(kPipe, 10); ++i) Sleep(10);
    }
    // Ends every stand-in: those the test started and the one the source started.
    void StopFakes() {
        for (const fs::path& folder : {install, root / "other"}) {
            const std::string pid = FakeState(folder)["pid"];
            if (pid.empty()) continue;
            if (HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, std::stoul(pid))) {
                TerminateProcess(p, 0);
                WaitForSingleObject(p, 5000);
                CloseHandle(p);
            }
            std::error_code ignored;
            fs::remove(folder / "fake_state.txt", ignored);
        }
        for (HANDLE p : started) {
            TerminateProcess(p, 0);
            WaitForSingleObject(p, 5000);
            CloseHandle(p);
        }
        started.clear();
    }
    std::map<std::string, std::string> FakeState(const fs::path& folder = {}) {
        std::map<std::string, std::string> state;
        std::ifstream in((folder.empty() ? install : folder) / "fake_state.txt");
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return state;
    }
    int Stored() { return std::stoi(FakeState()["stored"]); }

    void OpenSource() {
        TW_IDENTITY id{};
        ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
        ds = id;
        ds.Id = 3;
        ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds), TWRC_SUCCESS);
        open = true;
    }
    void Enable(bool showUi) {
        if (!open) OpenSource();
        TW_USERINTERFACE ui{};
        ui.ShowUI = showUi ? TRUE : FALSE;
        ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        enabled = true;
    }
    void Disable() {
        TW_USERINTERFACE ui{};
        if (enabled) Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        enabled = false;
    }
    void EndSession() {
        Disable();
        if (open) Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds);
        open = false;
    }

    // Runs the program's message loop for `ms`, or until `until` holds. Without a manager the
    // source's notifications come with the next MSG_PROCESSEVENT.
    bool Pump(int ms, const std::function<bool(TW_UINT16)>& until = nullptr) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            MSG msg{};
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            MSG none{};
            TW_EVENT event{};
            event.pEvent = &none;
            const TW_UINT16 rc = Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if (until && until(rc == TWRC_DSEVENT ? event.TWMessage : MSG_NULL)) return true;
            Sleep(5);
        }
        return false;
    }
    bool WaitForXferReady(int ms = 20000) {
        return Pump(ms, [](TW_UINT16 message) { return message == MSG_XFERREADY; });
    }

    // A native transfer: the first pixel byte names the stand-in's image (16 x its number).
    TW_UINT16 Native(int* firstPixel = nullptr) {
        TW_HANDLE handle = nullptr;
        const TW_UINT16 rc = Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
        if (handle != nullptr) {
            const auto* dib = static_cast<const uint8_t*>(GlobalLock(handle));
            if (firstPixel) *firstPixel = dib[40 + 1024];
            GlobalUnlock(handle);
            GlobalFree(handle);
        }
        return rc;
    }
    int EndXfer() {
        TW_PENDINGXFERS pending{};
        EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        return pending.Count;
    }
    // A named callback: a lambda converts only to the default calling convention, not to the
    // stdcall one of the i686 build.
    static BOOL CALLBACK TakeStatusDialog(HWND window, LPARAM param) {
        if (GetDlgItem(window, 1002) == nullptr) return TRUE;
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    std::string StatusLine() {
        HWND dialog = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), TakeStatusDialog, reinterpret_cast<LPARAM>(&dialog));
        wchar_t text[256] = {};
        if (dialog) GetDlgItemTextW(dialog, 1002, text, 256);
        return Narrow(text);
    }
};

}  // namespace delivery_rig
