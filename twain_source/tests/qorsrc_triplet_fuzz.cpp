// The triplet fuzzer: drives QORSRC.ds through DS_Entry with seeded random sequences of
// triplets (known and unknown groups, DATs and messages; good, bad and missing containers of
// every size; origins of the connected application and of others), checking after each that the
// source returned (a watchdog ends the run when a call does not) and did not crash (an
// unhandled fault prints the triplet), and that its return and condition codes agree with the
// state table: an operation the table refuses in every state the source can be in must fail with
// TWCC_SEQERROR, an unknown group or DAT with TWCC_BADPROTOCOL, another application's triplet
// must not be dispatched. Each source's state is followed as a set of possible states, narrowed
// by the answers.
//   qorsrc_triplet_fuzz [--sequences N] [--length L] [--seed S] [--only I]
// The source is QOR_SOURCE_UNDER_TEST, else QORSRC.ds beside the program. Every sequence starts
// with a freshly loaded source (so unloading in any state is exercised too). "InstalPath" names
// a folder of the fuzzer's meanwhile: the suite's libraries copied from the installation, no
// QOR APP (so it is never started), and a store on disk with 0 to 3 selected images, which the
// source takes from the Stavik queue, so that transfers (states 6 and 7) are fuzzed as well.
// Exit 0: consistent; 1: an inconsistency (printed with its sequence and step); 2: set-up
// failed; 3: a call hung.
#include <windows.h>
// after windows.h
#include "twain.h"

#include "twain_source/tests/source_under_test.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/box_answerer.h"
#include "twain_source/core/state_rules.h"

namespace {

using DsEntry = TW_UINT16(PASCAL*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
using States = std::set<int32_t>;
constexpr const wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";
constexpr DWORD kHangMs = 60000;  // far beyond any answer of the source, which bounds its waits

struct Options {
    int sequences = 20;
    int length = 60;
    unsigned seed = 1;
    int only = -1;
};

// What the watchdog and the fault filter print about the call in progress.
char g_current[256] = "none";
int g_visited[8] = {};  // triplets sent while the source was known to be in state n
std::atomic<ULONGLONG> g_callStarted{0};

LONG WINAPI OnFault(EXCEPTION_POINTERS* info) {
    std::printf("qorsrc_triplet_fuzz: CRASH (exception 0x%08lx) in %s\n",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), g_current);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

void Watchdog() {
    for (;;) {
        Sleep(1000);
        const ULONGLONG started = g_callStarted;
        if (started != 0 && GetTickCount64() - started > kHangMs) {
            std::printf("qorsrc_triplet_fuzz: HANG: no answer for %lu s in %s\n",
                        static_cast<unsigned long>(kHangMs / 1000), g_current);
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

using source_under_test::ReadInstalPath;
using source_under_test::SourcePath;
using source_under_test::WriteInstalPath;

// A small 8-bit grey bitmap file, as QOR APP stores images.
std::vector<uint8_t> GreyBitmap(uint8_t seed) {
    constexpr uint32_t width = 16, height = 8, offBits = 14 + 40 + 256 * 4;
    std::vector<uint8_t> file(offBits + width * height, 0);
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(file.data() + at, &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(file.data() + at, &v, 4); };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<uint32_t>(file.size()));
    put32(10, offBits);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    put16(26, 1);
    put16(28, 8);
    put32(34, width * height);
    put32(46, 256);
    for (uint32_t i = 0; i < 256; ++i) {
        file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = static_cast<uint8_t>(i);
    }
    for (uint32_t i = 0; i < width * height; ++i) file[offBits + i] = static_cast<uint8_t>(seed + i);
    return file;
}

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

// The fuzzer's "installation": the suite's libraries (not QOR APP) and a store of `images`
// selected images.
void PrepareFolder(const std::wstring& folder, const std::wstring& installation, int images) {
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* name : {L"Orbel.dll", L"Stavik.dll", L"Language.ini", L"german.dll", L"french.dll"}) {
        if (!installation.empty()) CopyFileW((installation + L"\\" + name).c_str(), (folder + L"\\" + name).c_str(), FALSE);
    }
    const std::wstring store = folder + L"\\Images";
    CreateDirectoryW(store.c_str(), nullptr);
    std::string info = "[ImageInfo]\r\nCount=" + std::to_string(images) + "\r\n";
    for (int i = 0; i < images; ++i) {
        const int number = 100000000 + (i + 1) * 1000;  // 10:00:0i.000
        char line[64];
        std::snprintf(line, sizeof line, "Image%d=%.9d,2026-12-08,2,1\r\n", i, number);
        info += line;
        wchar_t name[32];
        swprintf(name, 32, L"\\%.9d.bmp", number);
        const std::vector<uint8_t> bitmap = GreyBitmap(static_cast<uint8_t>(i * 40));
        WriteBytes(store + name, bitmap.data(), bitmap.size());
    }
    WriteBytes(store + L"\\ImageInfo.ini", info.data(), info.size());
}

// Everything the fuzzer put into its folder, so that nothing is left behind.
void RemoveFolder(const std::wstring& folder) {
    for (const std::wstring& sub : {folder + L"\\Images", folder}) {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((sub + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) DeleteFileW((sub + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(sub.c_str());
    }
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// A named callback: a lambda converts only to the default calling convention, not to the
// stdcall one of the i686 build.
BOOL CALLBACK TakeFirstWindow(HWND window, LPARAM data) {
    *reinterpret_cast<HWND*>(data) = window;
    return FALSE;
}

HWND AnyThreadWindow() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), TakeFirstWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// DATs of the two tables, and some that are not there.
constexpr TW_UINT16 kControlDats[] = {DAT_IDENTITY, DAT_USERINTERFACE, DAT_CAPABILITY, DAT_STATUS, DAT_PENDINGXFERS,
                                      DAT_SETUPMEMXFER, DAT_SETUPFILEXFER, DAT_XFERGROUP, DAT_EVENT, DAT_PARENT,
                                      DAT_NULL, DAT_CUSTOMDSDATA};
constexpr TW_UINT16 kImageDats[] = {DAT_IMAGEINFO, DAT_IMAGELAYOUT, DAT_IMAGEMEMXFER, DAT_IMAGENATIVEXFER,
                                    DAT_IMAGEFILEXFER, DAT_PALETTE8, DAT_GRAYRESPONSE, DAT_RGBRESPONSE,
                                    DAT_CIECOLOR, DAT_JPEGCOMPRESSION, DAT_EXTIMAGEINFO};
constexpr TW_UINT16 kMessages[] = {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_SET, MSG_RESET, MSG_QUERYSUPPORT,
                                   MSG_OPENDS, MSG_CLOSEDS, MSG_ENABLEDS, MSG_DISABLEDS, MSG_ENDXFER,
                                   MSG_PROCESSEVENT, MSG_XFERREADY, MSG_GETFIRST, 0, 0x7777};
constexpr TW_UINT16 kCaps[] = {CAP_XFERCOUNT, ICAP_XFERMECH, ICAP_UNITS, ICAP_XRESOLUTION, ICAP_YRESOLUTION,
                               ICAP_BITDEPTH, ICAP_PIXELTYPE, CAP_SUPPORTEDCAPS, ICAP_COMPRESSION,
                               ICAP_IMAGEFILEFORMAT, CAP_UICONTROLLABLE, ICAP_PIXELFLAVOR, 0x8123, 0};
constexpr TW_UINT16 kConTypes[] = {TWON_ONEVALUE, TWON_ENUMERATION, TWON_ARRAY, TWON_RANGE, TWON_DONTCARE16, 0, 0x1234};

bool InTable(TW_UINT32 dg, TW_UINT16 dat) {
    if (dg == DG_CONTROL) {
        for (TW_UINT16 d : {DAT_IDENTITY, DAT_USERINTERFACE, DAT_CAPABILITY, DAT_STATUS, DAT_PENDINGXFERS,
                            DAT_SETUPMEMXFER, DAT_SETUPFILEXFER, DAT_XFERGROUP}) {
            if (d == dat) return true;
        }
        return false;
    }
    if (dg == DG_IMAGE) {
        for (TW_UINT16 d : {DAT_IMAGEINFO, DAT_IMAGELAYOUT, DAT_IMAGEMEMXFER, DAT_IMAGENATIVEXFER, DAT_IMAGEFILEXFER,
                            DAT_PALETTE8, DAT_GRAYRESPONSE, DAT_RGBRESPONSE, DAT_CIECOLOR, DAT_JPEGCOMPRESSION}) {
            if (d == dat) return true;
        }
    }
    return false;
}

bool KnownReturnCode(TW_UINT16 rc) {
    return rc == TWRC_SUCCESS || rc == TWRC_FAILURE || rc == TWRC_CHECKSTATUS || rc == TWRC_CANCEL ||
           rc == TWRC_DSEVENT || rc == TWRC_NOTDSEVENT || rc == TWRC_XFERDONE || rc == TWRC_ENDOFLIST;
}

std::string StatesText(const States& states) {
    std::string out;
    for (int32_t s : states) out += std::to_string(s / 100);
    return out.empty() ? "none" : out;
}

// The containers of one triplet; everything they point to lives as long as the object.
class Containers {
public:
    explicit Containers(std::mt19937& rng) : m_rng(rng) {}
    ~Containers() {
        for (HGLOBAL h : m_handles) GlobalFree(h);
    }
    Containers(const Containers&) = delete;
    Containers& operator=(const Containers&) = delete;

    TW_MEMREF For(TW_UINT32 dg, TW_UINT16 dat, const TW_IDENTITY& source, HWND window) {
        if (Pick(8) == 0) return nullptr;
        m_arena.assign(4096, 0);
        if (Pick(2) == 0) {
            for (uint8_t& b : m_arena) b = static_cast<uint8_t>(m_rng());
        }
        void* p = m_arena.data();
        if (dg == DG_CONTROL && dat == DAT_IDENTITY) {
            if (Pick(2) == 0) std::memcpy(p, &source, sizeof source);
        } else if (dg == DG_CONTROL && dat == DAT_USERINTERFACE) {
            auto* ui = static_cast<pTW_USERINTERFACE>(p);
            ui->ShowUI = static_cast<TW_BOOL>(Pick(3) == 0 ? m_rng() : Pick(2));
            ui->hParent = Pick(3) == 0 ? nullptr : window;
        } else if (dg == DG_CONTROL && dat == DAT_CAPABILITY) {
            auto* cap = static_cast<pTW_CAPABILITY>(p);
            cap->Cap = kCaps[Pick(std::size(kCaps))];
            cap->ConType = kConTypes[Pick(std::size(kConTypes))];
            cap->hContainer = Pick(4) == 0 ? nullptr : Container();
            m_capability = cap;
            m_ownContainer = cap->hContainer;
        } else if (dg == DG_CONTROL && dat == DAT_EVENT) {
            auto* event = static_cast<pTW_EVENT>(p);
            m_msg = MSG{};
            const HWND targets[] = {nullptr, window, AnyThreadWindow()};
            m_msg.hwnd = targets[Pick(3)];
            const UINT messages[] = {WM_KEYDOWN, WM_CHAR, WM_TIMER, WM_NULL, WM_COMMAND, WM_USER + 7};
            m_msg.message = messages[Pick(std::size(messages))];
            const WPARAM keys[] = {VK_ESCAPE, VK_RETURN, VK_TAB, 'A'};
            m_msg.wParam = keys[Pick(std::size(keys))];
            event->pEvent = Pick(5) == 0 ? nullptr : &m_msg;
        } else if (dg == DG_IMAGE && dat == DAT_IMAGEMEMXFER) {
            auto* xfer = static_cast<pTW_IMAGEMEMXFER>(p);
            const TW_UINT32 lengths[] = {0, 1, 17, 1204, 16384, 65535};
            xfer->Memory.Length = lengths[Pick(std::size(lengths))];
            m_buffer.assign(xfer->Memory.Length + 1, 0);
            if (Pick(2) == 0) {
                xfer->Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
                xfer->Memory.TheMem = m_buffer.data();
            } else {
                xfer->Memory.Flags = TWMF_APPOWNS | TWMF_HANDLE;
                HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, xfer->Memory.Length + 1);
                m_handles.push_back(h);
                xfer->Memory.TheMem = h;
            }
        } else if (dg == DG_IMAGE && dat == DAT_IMAGENATIVEXFER) {
            m_native = nullptr;
            return &m_native;
        } else if (dg == DG_IMAGE && dat == DAT_JPEGCOMPRESSION) {
            std::memset(p, 0, sizeof(TW_JPEGCOMPRESSION));  // its TW_MEMORY fields are pointers
        } else if (dg == DG_CONTROL && dat == DAT_SETUPFILEXFER) {
            auto* setup = static_cast<pTW_SETUPFILEXFER>(p);
            // Never a real target outside the temporary folder; sometimes no terminator at all.
            if (Pick(3) != 0) {
                char temp[MAX_PATH];
                GetTempPathA(MAX_PATH, temp);
                std::snprintf(setup->FileName, sizeof setup->FileName, "%sqorsrc_fuzz_%u.bmp", temp, Pick(4));
            } else {
                std::memset(setup->FileName, 'A', sizeof setup->FileName);
            }
        }
        return p;
    }

    // Handles the source handed out (a capability's container, a native image) go back.
    void Collect() {
        if (m_capability != nullptr && m_capability->hContainer != nullptr && m_capability->hContainer != m_ownContainer) {
            GlobalFree(m_capability->hContainer);
        }
        if (m_native != nullptr) GlobalFree(m_native);
        m_capability = nullptr;
        m_native = nullptr;
    }

    unsigned Pick(size_t n) { return static_cast<unsigned>(m_rng() % n); }

private:
    // A container handle of a random size: a well-formed one-value or enumeration header, or
    // random bytes.
    HGLOBAL Container() {
        const SIZE_T sizes[] = {0, 1, 2, 6, 8, 14, 22, 64, 512};
        const SIZE_T size = sizes[Pick(std::size(sizes))];
        HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, size);
        if (h == nullptr) return nullptr;
        m_handles.push_back(h);
        auto* bytes = static_cast<uint8_t*>(GlobalLock(h));
        if (bytes != nullptr) {
            for (SIZE_T i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(m_rng());
            if (size >= sizeof(TW_ONEVALUE) && Pick(2) == 0) {
                auto* one = reinterpret_cast<pTW_ONEVALUE>(bytes);
                const TW_UINT16 types[] = {TWTY_UINT16, TWTY_INT16, TWTY_FIX32, TWTY_BOOL, TWTY_UINT32, 0x55};
                one->ItemType = types[Pick(std::size(types))];
                one->Item = Pick(3) == 0 ? static_cast<TW_UINT32>(m_rng()) : Pick(4);
            }
            GlobalUnlock(h);
        }
        return h;
    }

    std::mt19937& m_rng;
    std::vector<uint8_t> m_arena;
    std::vector<uint8_t> m_buffer;
    std::vector<HGLOBAL> m_handles;
    MSG m_msg{};
    TW_HANDLE m_native = nullptr;
    pTW_CAPABILITY m_capability = nullptr;
    TW_HANDLE m_ownContainer = nullptr;
};

struct Model {
    States states{qor::twain::kState3};
    TW_UINT32 connected = 0;  // the connected application's Id (0: none or unnamed)
};

// One sequence against a freshly loaded source. Empty when consistent, else what went wrong.
std::string RunSequence(const Options& options, int index, HWND window, const std::wstring& folder,
                        const std::wstring& installation, int& triplets) {
    std::mt19937 rng(options.seed * 1000003u + static_cast<unsigned>(index));
    PrepareFolder(folder, installation, static_cast<int>(rng() % 4));
    HMODULE module = LoadLibraryW(SourcePath().c_str());
    if (module == nullptr) return "the source cannot be loaded (set QOR_SOURCE_UNDER_TEST)";
    DsEntry entry = nullptr;
    FARPROC proc = GetProcAddress(module, "DS_Entry");
    std::memcpy(&entry, &proc, sizeof entry);
    if (entry == nullptr) {
        FreeLibrary(module);
        return "the source exports no DS_Entry";
    }
    TW_IDENTITY source{};
    TW_IDENTITY anyone{};
    entry(&anyone, DG_CONTROL, DAT_IDENTITY, MSG_GET, &source);

    Model model;
    std::string problem;
    for (int step = 0; step < options.length && problem.empty(); ++step) {
        Containers containers(rng);
        // Mostly the connected application; sometimes another one, or none at all.
        TW_IDENTITY origin{};
        origin.ProtocolMajor = 1;
        origin.ProtocolMinor = 9;
        origin.Version.Language = static_cast<TW_UINT16>(containers.Pick(4) == 0 ? rng() : TWLG_USA);
        std::strcpy(origin.ProductName, "triplet fuzz");
        origin.Id = containers.Pick(5) == 0 ? containers.Pick(3) : model.connected;
        const bool noOrigin = containers.Pick(50) == 0;

        const unsigned group = containers.Pick(20);
        const TW_UINT32 dg = group < 12 ? DG_CONTROL : group < 19 ? DG_IMAGE : static_cast<TW_UINT32>(rng() & 0xFF);
        TW_UINT16 dat = dg == DG_CONTROL ? kControlDats[containers.Pick(std::size(kControlDats))]
                                         : kImageDats[containers.Pick(std::size(kImageDats))];
        if (containers.Pick(25) == 0) dat = static_cast<TW_UINT16>(rng());
        // The session's own messages come often, so that the states are all visited.
        TW_UINT16 msg = kMessages[containers.Pick(std::size(kMessages))];
        const unsigned steer = containers.Pick(14);
        TW_UINT32 callDg = dg;
        if (steer == 0) callDg = DG_CONTROL, dat = DAT_IDENTITY, msg = MSG_OPENDS;
        if (steer == 1) callDg = DG_CONTROL, dat = DAT_USERINTERFACE, msg = MSG_ENABLEDS;
        if (steer == 2) callDg = DG_CONTROL, dat = DAT_EVENT, msg = MSG_PROCESSEVENT;
        if (steer == 3) callDg = DG_CONTROL, dat = DAT_PENDINGXFERS, msg = MSG_ENDXFER;
        if (steer == 4) callDg = DG_IMAGE, dat = containers.Pick(2) ? DAT_IMAGENATIVEXFER : DAT_IMAGEMEMXFER, msg = MSG_GET;
        TW_MEMREF data = containers.For(callDg, dat, source, window);

        std::snprintf(g_current, sizeof g_current,
                      "sequence %d step %d: origin %s%lu DG 0x%lx DAT 0x%04x MSG 0x%04x pData %s (states %s)", index,
                      step, noOrigin ? "none " : "", static_cast<unsigned long>(origin.Id),
                      static_cast<unsigned long>(callDg), dat, msg, data ? "set" : "null",
                      StatesText(model.states).c_str());
        if (model.states.size() == 1) ++g_visited[*model.states.begin() / 100];
        g_callStarted = GetTickCount64();
        const TW_UINT16 rc = entry(noOrigin ? nullptr : &origin, callDg, dat, msg, data);
        g_callStarted = 0;
        ++triplets;
        containers.Collect();
        Pump();

        auto fail = [&](const std::string& what) { problem = std::string(g_current) + ": " + what + " (rc " + std::to_string(rc) + ")"; };
        if (!KnownReturnCode(rc)) {
            fail("an unknown return code");
            break;
        }
        if (noOrigin) {
            if (rc != TWRC_FAILURE) fail("a triplet without origin was answered");
            continue;
        }
        const bool opens = callDg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_OPENDS;
        if (model.connected != 0 && origin.Id != model.connected && !opens) {
            // Another application's triplet: not dispatched, nothing changes.
            if (rc != TWRC_FAILURE) fail("another application's triplet was dispatched");
            continue;
        }
        TW_STATUS status{};
        TW_IDENTITY asker = origin;
        const TW_UINT16 statusRc = entry(&asker, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        const TW_UINT16 cc = status.ConditionCode;
        (void)statusRc;

        if (callDg == DG_CONTROL && dat == DAT_EVENT && msg == MSG_PROCESSEVENT) {
            if (rc != TWRC_DSEVENT && rc != TWRC_NOTDSEVENT) fail("MSG_PROCESSEVENT answered neither DSEVENT nor NOTDSEVENT");
            continue;
        }
        if (callDg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_GET) {
            if (data != nullptr && rc != TWRC_SUCCESS) fail("DAT_IDENTITY MSG_GET failed");
            continue;
        }
        if (!InTable(callDg, dat)) {
            if (rc != TWRC_FAILURE || cc != TWCC_BADPROTOCOL) fail("an unknown group or DAT was not refused with TWCC_BADPROTOCOL");
            continue;
        }
        const qor::twain::StateRule* rule = qor::twain::FindStateRule(callDg, dat, msg, qor::twain::AppProtocol::Twain1);
        if (rule != nullptr) {
            States allowed, refused;
            for (int32_t s : model.states) (qor::twain::StateAllowed(*rule, s) ? allowed : refused).insert(s);
            const bool seq = rc == TWRC_FAILURE && cc == TWCC_SEQERROR;
            if (allowed.empty() && !seq) {
                fail("the state table refuses this in states " + StatesText(refused) + " but the source did not answer TWCC_SEQERROR");
                continue;
            }
            if (seq && !refused.empty()) {
                model.states = refused;  // refused by the table: nothing changed
                continue;
            }
            if (!seq && !allowed.empty()) model.states = allowed;
        }
        // The transitions of the triplets that change states.
        const bool ok = rc == TWRC_SUCCESS || rc == TWRC_XFERDONE;
        if (callDg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_OPENDS) {
            model.states = {ok ? qor::twain::kState4 : qor::twain::kState3};
            model.connected = ok ? origin.Id : 0;
        } else if (callDg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_CLOSEDS && ok) {
            model.states = {qor::twain::kState3};
            model.connected = 0;
        } else if (callDg == DG_CONTROL && dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && ok) {
            model.states = {qor::twain::kState5, qor::twain::kState6};
        } else if (callDg == DG_CONTROL && dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS && ok) {
            model.states = {qor::twain::kState4};
        } else if (callDg == DG_CONTROL && dat == DAT_PENDINGXFERS && msg == MSG_RESET && ok) {
            model.states = {qor::twain::kState5};
        } else if (callDg == DG_CONTROL && dat == DAT_PENDINGXFERS && msg == MSG_ENDXFER && ok) {
            model.states = {qor::twain::kState5, qor::twain::kState6};
        } else if (callDg == DG_IMAGE &&
                   (dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEMEMXFER || dat == DAT_IMAGEFILEXFER)) {
            States after = model.states;
            if (ok) after = {qor::twain::kState7};
            else after.insert({qor::twain::kState5, qor::twain::kState6, qor::twain::kState7});
            model.states = after;
        }
    }
    // Unloaded in whatever state the sequence left: the source must let go of its window.
    FreeLibrary(module);
    Pump();
    return problem;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--sequences") options.sequences = value;
        else if (name == "--length") options.length = value;
        else if (name == "--seed") options.seed = static_cast<unsigned>(value);
        else if (name == "--only") options.only = value;
        else {
            std::fprintf(stderr, "qorsrc_triplet_fuzz: unknown option %s; use --sequences N --length L --seed S --only I\n", name.c_str());
            return 2;
        }
    }
    // Under emulation (QOR_TEST_TIME_SCALE=N, the test guest) a N-th of the sequences, 6 at
    // least: each costs seconds there, and the x86_64 build's run makes them all.
    if (const char* scale = std::getenv("QOR_TEST_TIME_SCALE"); scale != nullptr && std::atoi(scale) > 1) {
        options.sequences = std::max(std::min(options.sequences, 6), options.sequences / std::atoi(scale));
        std::printf("qorsrc_triplet_fuzz: %d sequences under QOR_TEST_TIME_SCALE=%s\n", options.sequences, scale);
    }
    SetUnhandledExceptionFilter(OnFault);
    std::thread(Watchdog).detach();
    const std::wstring savedPath = ReadInstalPath();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qorsrc_triplet_fuzz_suite";
    std::wstring installation = savedPath;
    while (!installation.empty() && (installation.back() == L'\\' || installation.back() == L'/')) installation.pop_back();
    WriteInstalPath(folder);
    HWND window = CreateWindowExW(0, L"STATIC", L"triplet fuzz host", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    int status = 0, triplets = 0, run = 0;
    {
        BoxAnswerer boxes(L"QOR SRC");  // the source's error boxes in sessions with its window
        for (int i = 0; i < options.sequences && status == 0; ++i) {
            const int index = options.only >= 0 ? options.only : i;
            const std::string problem = RunSequence(options, index, window, folder, installation, triplets);
            ++run;
            if (!problem.empty() && problem.rfind("the source", 0) == 0) {
                std::printf("qorsrc_triplet_fuzz: SET-UP FAILED: %s\n", problem.c_str());
                status = 2;
            } else if (!problem.empty()) {
                std::printf("qorsrc_triplet_fuzz: INCONSISTENT: %s\n  rerun: --seed %u --only %d --length %d\n", problem.c_str(),
                            options.seed, index, options.length);
                status = 1;
            }
            if (options.only >= 0) break;
        }
        std::printf("qorsrc_triplet_fuzz: triplets sent in a known state: 3: %d, 4: %d, 5: %d, 6: %d, 7: %d\n", g_visited[3],
                    g_visited[4], g_visited[5], g_visited[6], g_visited[7]);
        std::printf("qorsrc_triplet_fuzz: %d sequences, %d triplets, seed %u, %d error boxes answered: %s\n", run, triplets,
                    options.seed, boxes.Answered(), status == 0 ? "consistent" : "NOT consistent");
    }
    DestroyWindow(window);
    WriteInstalPath(savedPath);
    RemoveFolder(folder);
    return status;
}
