// fault_host: an imaging program for the fault tests. It drives the TWAIN manager like any other
// program, and at a named moment of a transfer it gives up (cancel, disable, close, a target it
// cannot write) or dies at once, as a crashing or killed program would (TerminateProcess on
// itself: no TWAIN call and no clean-up after that point).
//
// It reads one request a line from standard input and answers each with one JSON line, so that a
// test can keep one host running for many sessions (the soak) or run it for one request:
//   acquire MECH COUNT FAULT OUTDIR   MECH native|memory|file; COUNT images at most (the session
//                                     ends early when the source has no more); FAULT below
//   sample                            this process's handles, threads and private bytes
//   quit
// FAULT applies to the first image of the session:
//   none                  every image transferred
//   die-after-info        DAT_IMAGEINFO, then death
//   die-mid-memory        the first strip of a memory transfer, then death
//   die-mid-file          death as soon as image bytes arrive in the file transfer's target
//   die-after-xferdone    the image received and saved, death before MSG_ENDXFER
//   reset-after-info      DAT_IMAGEINFO, then MSG_RESET (the ordinary cancel)
//   disable-after-info    DAT_IMAGEINFO, then MSG_DISABLEDS
//   close-after-info      DAT_IMAGEINFO, then MSG_CLOSEDS
//   endxfer-mid-memory    the first strip, then MSG_ENDXFER (the image abandoned)
//   unwritable-file       a target in a folder that does not exist, its refusal ignored, the
//                         transfer tried all the same, then MSG_ENDXFER
//   skip-after-info       DAT_IMAGEINFO, then MSG_ENDXFER (the image passed over), and the session
//                         goes on with the images after it
//   skip-unwritable-file  as unwritable-file, but the session goes on after MSG_ENDXFER
// The answer lists the received files in the order they arrived.
// Received images are written to OUTDIR as "h<pid>_<n>.bmp"; a file transfer writes there itself.
#include <windows.h>
// after windows.h
#include "twain.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/faults/process_figures.h"
#include "tools/twain_client/twain_session.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kSourceName[] = "QOR SOURCE";
constexpr DWORD kAnnouncementWaitMs = 20000;

[[noreturn]] void Die() {
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) {
        Sleep(INFINITE);
    }
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// A BMP file from a packed DIB: file header, then the DIB as it is.
std::vector<uint8_t> BmpFromDib(const uint8_t* dib, size_t size) {
    uint32_t headerSize = 0, clrUsed = 0;
    uint16_t bits = 0;
    std::memcpy(&headerSize, dib, 4);
    std::memcpy(&bits, dib + 14, 2);
    std::memcpy(&clrUsed, dib + 32, 4);
    if (clrUsed == 0 && bits <= 8) clrUsed = 1u << bits;
    std::vector<uint8_t> file(14 + size);
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 2, static_cast<uint32_t>(file.size()));
    Put32(file, 10, 14 + headerSize + 4 * clrUsed);
    std::memcpy(file.data() + 14, dib, size);
    return file;
}

// The BMP of a memory transfer: rows arrive top first, a BMP stores them bottom first.
std::vector<uint8_t> BmpFromRows(const TW_IMAGEINFO& info, const TW_PALETTE8& palette,
                                 const std::vector<uint8_t>& rows, uint32_t bytesPerRow) {
    const uint32_t height = static_cast<uint32_t>(info.ImageLength);
    const uint32_t colours = palette.NumColors;
    const uint32_t offBits = 54 + 4 * colours;
    std::vector<uint8_t> bmp(offBits + bytesPerRow * height, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    Put32(bmp, 2, static_cast<uint32_t>(bmp.size()));
    Put32(bmp, 10, offBits);
    Put32(bmp, 14, 40);
    Put32(bmp, 18, static_cast<uint32_t>(info.ImageWidth));
    Put32(bmp, 22, height);
    bmp[26] = 1;
    bmp[28] = static_cast<uint8_t>(info.BitsPerPixel);
    Put32(bmp, 34, bytesPerRow * height);
    Put32(bmp, 46, colours);
    for (uint32_t i = 0; i < colours; ++i) {
        bmp[54 + 4 * i] = palette.Colors[i].Channel3;
        bmp[55 + 4 * i] = palette.Colors[i].Channel2;
        bmp[56 + 4 * i] = palette.Colors[i].Channel1;
    }
    for (uint32_t row = 0; row < height && (row + 1) * bytesPerRow <= rows.size(); ++row) {
        std::memcpy(bmp.data() + offBits + (height - 1 - row) * bytesPerRow,
                    rows.data() + row * bytesPerRow, bytesPerRow);
    }
    return bmp;
}

bool SaveFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

void SetMechanism(CTwainSession& s, TW_UINT16 mech) {
    TW_CAPABILITY cap{};
    cap.Cap = ICAP_XFERMECH;
    cap.ConType = TWON_ONEVALUE;
    cap.hContainer = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
    auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(cap.hContainer));
    one->ItemType = TWTY_UINT16;
    one->Item = mech;
    GlobalUnlock(cap.hContainer);
    s.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
    GlobalFree(cap.hContainer);
}

struct Outcome {
    std::vector<uint8_t> bmp;  // empty: the image did not arrive
    TW_UINT16 rc = TWRC_FAILURE;
    bool abandoned = false;  // the fault ended the session
    bool skipped = false;    // the image was passed over with MSG_ENDXFER; the session goes on
    TW_UINT16 pendingAfter = 0;
    std::string error;
};

Outcome Native(CTwainSession& s) {
    Outcome o;
    TW_HANDLE handle = nullptr;
    o.rc = s.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
    if (o.rc == TWRC_XFERDONE && handle != nullptr) {
        const auto* dib = static_cast<const uint8_t*>(GlobalLock(handle));
        o.bmp = BmpFromDib(dib, GlobalSize(handle));
        GlobalUnlock(handle);
        GlobalFree(handle);
    }
    return o;
}

Outcome Memory(CTwainSession& s, const TW_IMAGEINFO& info, const std::string& fault) {
    Outcome o;
    TW_SETUPMEMXFER setup{};
    s.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
    TW_PALETTE8 palette{};
    s.Call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette);
    std::vector<uint8_t> buffer(setup.Preferred != 0 ? setup.Preferred : 65536);
    std::vector<uint8_t> rows;
    uint32_t bytesPerRow = 0;
    for (int strip = 0; strip < 100000; ++strip) {
        TW_IMAGEMEMXFER xfer{};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        xfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
        xfer.Memory.TheMem = buffer.data();
        o.rc = s.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
        if (o.rc != TWRC_SUCCESS && o.rc != TWRC_XFERDONE) {
            return o;
        }
        rows.insert(rows.end(), buffer.begin(), buffer.begin() + xfer.BytesWritten);
        bytesPerRow = xfer.BytesPerRow;
        if (strip == 0 && o.rc == TWRC_SUCCESS) {
            if (fault == "die-mid-memory") Die();
            if (fault == "endxfer-mid-memory") {
                TW_PENDINGXFERS pending{};
                s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
                o.abandoned = true;
                return o;
            }
        }
        if (o.rc == TWRC_XFERDONE) break;
    }
    if (o.rc == TWRC_XFERDONE && bytesPerRow != 0 && info.ImageLength > 0) {
        o.bmp = BmpFromRows(info, palette, rows, bytesPerRow);
    }
    return o;
}

Outcome File(CTwainSession& s, const fs::path& target, const std::string& fault) {
    Outcome o;
    TW_SETUPFILEXFER setup{};
    const bool unwritable = fault == "unwritable-file" || fault == "skip-unwritable-file";
    const fs::path where = unwritable ? target.parent_path() / "missing folder" / "x.bmp" : target;
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", where.string().c_str());
    setup.Format = TWFF_BMP;
    // A careful program stops when the target is refused; the careless one of
    // "unwritable-file" goes on with the transfer all the same.
    if (s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS && !unwritable) {
        TW_PENDINGXFERS pending{};
        s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        o.abandoned = true;
        o.error = "the source refused the file target";
        return o;
    }
    if (fault == "die-mid-file") {
        // Dies the moment the source writes image bytes into the target (it may create it empty
        // earlier), before the transfer returns.
        std::thread([where] {
            for (;;) {
                WIN32_FILE_ATTRIBUTE_DATA data{};
                if (GetFileAttributesExW(where.wstring().c_str(), GetFileExInfoStandard, &data) &&
                    (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0)) {
                    Die();
                }
                Sleep(0);
            }
        }).detach();
    }
    o.rc = s.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
    if (o.rc == TWRC_XFERDONE && !unwritable) {
        std::ifstream in(target, std::ios::binary);
        o.bmp.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (unwritable) {
        TW_PENDINGXFERS pending{};
        s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        o.abandoned = fault == "unwritable-file";
        o.skipped = !o.abandoned;
        o.pendingAfter = pending.Count;
    }
    return o;
}

json Acquire(CTwainSession& s, const std::string& mech, int count, const std::string& fault,
             const fs::path& out, int& serial) {
    json result{{"received", json::array()}};
    std::string problem;
    if (!s.OpenSource(kSourceName, problem)) {
        result["error"] = problem;
        return result;
    }
    SetMechanism(s, mech == "file" ? TWSX_FILE : mech == "memory" ? TWSX_MEMORY : TWSX_NATIVE);
    TW_USERINTERFACE ui{};
    ui.ShowUI = FALSE;
    ui.hParent = s.Window();
    if (s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        result["error"] = "the source refused MSG_ENABLEDS";
        s.CloseSource();
        return result;
    }
    bool ready = false;
    bool closed = false;
    for (int i = 0; i < count; ++i) {
        if (!ready && !s.WaitFor(MSG_XFERREADY, kAnnouncementWaitMs)) {
            result["error"] = "no image announced";
            break;
        }
        const std::string now = i == 0 ? fault : "none";
        TW_IMAGEINFO info{};
        const TW_UINT16 infoRc = s.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
        if (now == "die-after-info") Die();
        if (now == "reset-after-info") {
            TW_PENDINGXFERS pending{};
            s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
            break;
        }
        if (now == "disable-after-info") break;
        if (now == "skip-after-info") {
            TW_PENDINGXFERS pending{};
            s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
            result["skipped"] = result.value("skipped", 0) + 1;
            if (pending.Count == 0) break;
            ready = true;
            continue;
        }
        if (now == "close-after-info") {
            s.CloseSource();
            closed = true;
            break;
        }
        if (infoRc != TWRC_SUCCESS) {
            result["error"] = "DAT_IMAGEINFO failed";
            TW_PENDINGXFERS pending{};
            s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
            break;
        }
        char name[64];
        std::snprintf(name, sizeof name, "h%lu_%d.bmp", GetCurrentProcessId(), ++serial);
        const fs::path path = out / name;
        Outcome o = mech == "file" ? File(s, path, now) : mech == "memory" ? Memory(s, info, now) : Native(s);
        if (o.abandoned) {
            if (!o.error.empty()) result["error"] = o.error;
            break;
        }
        if (o.skipped) {
            result["skipped"] = result.value("skipped", 0) + 1;
            if (o.pendingAfter == 0) break;
            ready = true;
            continue;
        }
        if (o.bmp.empty()) {
            result["error"] = "a transfer failed (rc " + std::to_string(o.rc) + ")";
            TW_PENDINGXFERS pending{};
            s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
            break;
        }
        if (mech != "file") SaveFile(path, o.bmp);
        result["received"].push_back(name);
        if (now == "die-after-xferdone") Die();
        TW_PENDINGXFERS pending{};
        s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        result["pendingAfter"] = pending.Count;
        if (pending.Count == 0) break;
        ready = true;
    }
    if (!closed) {
        s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        s.CloseSource();
    }
    return result;
}

}  // namespace

int main() {
    CTwainSession session;
    std::string problem;
    if (!session.OpenManager(ManagerChoice{}, problem)) {
        std::printf("%s\n", json{{"error", problem}}.dump().c_str());
        return 1;
    }
    int serial = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        json answer;
        if (verb == "acquire") {
            std::string mech, fault, out;
            int count = 0;
            words >> mech >> count >> fault;
            std::getline(words >> std::ws, out);
            answer = Acquire(session, mech, count, fault, fs::u8path(out), serial);
        } else if (verb == "sample") {
            answer = figures::Sample(GetCurrentProcessId()).ToJson();
        } else if (verb == "quit") {
            break;
        } else if (!verb.empty()) {
            answer = {{"error", "unknown request '" + verb + "': use acquire, sample or quit"}};
        } else {
            continue;
        }
        std::printf("%s\n", answer.dump().c_str());
        std::fflush(stdout);
    }
    session.CloseManager();
    return 0;
}
