// twain_client: the project's TWAIN imaging program for tests, the demo and integrators. It talks
// only to the manager ("TWAIN_32.DLL"), never to a source directly.
//
//   twain_client list
//   twain_client acquire --source NAME --mech native|file|memory --count N --out DIR
//                        [--sessions N] [--show-ui 0|1] [--timeout-ms MS] [--caps] [--json FILE]
//   twain_client cycles [--count N] [--sample-every N]   open and close N times, resources sampled
//   twain_client reopen                close the manager with the source open, reopen both
//   twain_client enable --show-ui 0|1  enable, check the window, disable
//   twain_client cancel                press Cancel in the source's window: MSG_CLOSEDSREQ
// Every habit takes --source and --json and prints its summary; exit code 1 when it failed.
// Every command takes --manager twain32|twaindsm (TWAIN_32.DLL as a 1.9 program, the default, or
// TWAINDSM.DLL as a 2.x one) and, with twaindsm, --callback none|callback|callback2 (how the
// source's messages reach the program: the event loop, DAT_CALLBACK or DAT_CALLBACK2).
#include <windows.h>
// after windows.h
#include "twain.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/twain_client/habits.h"
#include "tools/twain_client/twain_session.h"

namespace {

using nlohmann::json;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

std::string Hex32(uint32_t v) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(v));
    return text;
}

// A BMP file from a packed DIB: file header, then the DIB as it is.
std::vector<uint8_t> BmpFromDib(const uint8_t* dib, size_t size) {
    uint32_t headerSize, clrUsed;
    uint16_t bits;
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

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// One capability read with every message, as the raw container bytes (hex) and codes.
json ReadCapability(CTwainSession& s, TW_UINT16 cap) {
    json out = json::object();
    const std::pair<const char*, TW_UINT16> messages[] = {
        {"get", MSG_GET}, {"current", MSG_GETCURRENT}, {"default", MSG_GETDEFAULT}, {"support", MSG_QUERYSUPPORT}};
    for (const auto& [name, msg] : messages) {
        TW_CAPABILITY c{};
        c.Cap = cap;
        c.ConType = TWON_DONTCARE16;
        const TW_UINT16 rc = s.Call(DG_CONTROL, DAT_CAPABILITY, msg, &c);
        json entry{{"rc", rc}};
        if (rc == TWRC_SUCCESS && c.hContainer != nullptr) {
            const auto* p = static_cast<const uint8_t*>(s.Lock(c.hContainer));
            // Both managers' memory is global memory on Windows.
            const SIZE_T size = GlobalSize(c.hContainer);
            std::string hex;
            char two[3];
            for (SIZE_T i = 0; p && i < size; ++i) {
                std::snprintf(two, sizeof two, "%02x", p[i]);
                hex += two;
            }
            s.Unlock(c.hContainer);
            s.Free(c.hContainer);
            entry["conType"] = c.ConType;
            entry["container"] = hex;
        } else {
            entry["cc"] = s.Condition();
        }
        out[name] = entry;
    }
    return out;
}

TW_UINT16 SetOneValue(CTwainSession& s, TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 item) {
    TW_CAPABILITY c{};
    c.Cap = cap;
    c.ConType = TWON_ONEVALUE;
    c.hContainer = s.Allocate(sizeof(TW_ONEVALUE));
    auto* one = static_cast<pTW_ONEVALUE>(s.Lock(c.hContainer));
    one->ItemType = itemType;
    one->Item = item;
    s.Unlock(c.hContainer);
    const TW_UINT16 rc = s.Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    s.Free(c.hContainer);
    return rc;
}

json Capabilities(CTwainSession& s) {
    json caps = json::object();
    const TW_UINT16 all[] = {CAP_SUPPORTEDCAPS, ICAP_XFERMECH, ICAP_PIXELFLAVOR, ICAP_PLANARCHUNKY,
                             ICAP_COMPRESSION, ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_UNITS,
                             ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_BITORDER, ICAP_XRESOLUTION,
                             ICAP_YRESOLUTION, CAP_XFERCOUNT, ICAP_IMAGEFILEFORMAT, CAP_UICONTROLLABLE};
    for (TW_UINT16 cap : all) {
        char key[8];
        std::snprintf(key, sizeof key, "0x%04x", cap);
        caps[key] = ReadCapability(s, cap);
    }
    // Set round trips: allowed values are taken, others refused with TWCC_BADVALUE.
    json sets = json::array();
    struct Set { TW_UINT16 cap, type; TW_UINT32 item; };
    for (const Set& set : {Set{CAP_XFERCOUNT, TWTY_INT16, 0}, Set{CAP_XFERCOUNT, TWTY_INT16, 61},
                           Set{CAP_XFERCOUNT, TWTY_INT16, 0xFFFF}, Set{ICAP_XRESOLUTION, TWTY_FIX32, 150},
                           Set{ICAP_XRESOLUTION, TWTY_FIX32, 100}, Set{ICAP_UNITS, TWTY_UINT16, TWUN_PIXELS},
                           Set{ICAP_UNITS, TWTY_UINT16, TWUN_INCHES}, Set{ICAP_PIXELFLAVOR, TWTY_UINT16, 0}}) {
        const TW_UINT16 rc = SetOneValue(s, set.cap, set.type, set.item);
        sets.push_back(json{{"cap", set.cap}, {"item", set.item}, {"rc", rc}, {"cc", s.Condition()}});
    }
    caps["sets"] = sets;
    return caps;
}

struct Received {
    std::vector<uint8_t> bmp;
    TW_UINT16 rc = TWRC_FAILURE;
    json checks = json::object();
};

Received TransferNative(CTwainSession& s) {
    Received r;
    TW_HANDLE handle = nullptr;
    r.rc = s.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
    if (r.rc == TWRC_XFERDONE && handle != nullptr) {
        const auto* dib = static_cast<const uint8_t*>(s.Lock(handle));
        r.bmp = BmpFromDib(dib, GlobalSize(handle));
        s.Unlock(handle);
        // A 2.x source's image is the manager's memory: freed with the manager's function.
        s.Free(handle);
    }
    return r;
}

Received TransferFile(CTwainSession& s, const std::filesystem::path& target) {
    Received r;
    TW_SETUPFILEXFER setup{};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", target.string().c_str());
    setup.Format = TWFF_BMP;
    r.checks["setupSet"] = s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
    TW_SETUPFILEXFER got{};
    s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &got);
    r.checks["setupGet"] = std::string(got.FileName);
    s.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &got);
    r.checks["setupDefault"] = std::string(got.FileName);
    r.rc = s.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
    if (r.rc == TWRC_XFERDONE) {
        std::ifstream in(target, std::ios::binary);
        r.bmp.assign(std::istreambuf_iterator<char>(in), {});
    }
    return r;
}

Received TransferMemory(CTwainSession& s) {
    Received r;
    TW_SETUPMEMXFER setup{};
    s.Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
    TW_IMAGEINFO info{};
    s.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
    TW_PALETTE8 palette{};
    s.Call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette);

    // A buffer shorter than one row must be refused, not answered with 0 bytes and success.
    uint8_t tiny[1];
    TW_IMAGEMEMXFER probe{};
    probe.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
    probe.Memory.Length = sizeof tiny;
    probe.Memory.TheMem = tiny;
    r.checks["tinyBufferRc"] = s.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &probe);
    r.checks["tinyBufferCc"] = s.Condition();

    std::vector<uint8_t> rows;  // top row first
    const TW_UINT32 length = setup.Preferred;
    TW_HANDLE handleBuffer = s.Allocate(length);
    std::vector<uint8_t> pointerBuffer(length);
    TW_UINT32 bytesPerRow = 0;
    int buffers = 0;
    for (int i = 0; i < 100000; ++i) {
        // Handles and pointers in turn: the source must honour the flags.
        const bool useHandle = (i % 2) == 1;
        TW_IMAGEMEMXFER xfer{};
        xfer.Memory.Flags = TWMF_APPOWNS | (useHandle ? TWMF_HANDLE : TWMF_POINTER);
        xfer.Memory.Length = length;
        xfer.Memory.TheMem = useHandle ? static_cast<TW_MEMREF>(handleBuffer) : pointerBuffer.data();
        r.rc = s.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
        if (r.rc != TWRC_SUCCESS && r.rc != TWRC_XFERDONE) break;
        ++buffers;
        bytesPerRow = xfer.BytesPerRow;
        const uint8_t* data = useHandle ? static_cast<const uint8_t*>(s.Lock(handleBuffer)) : pointerBuffer.data();
        rows.insert(rows.end(), data, data + xfer.BytesWritten);
        if (useHandle) s.Unlock(handleBuffer);
        if (r.rc == TWRC_XFERDONE) break;
    }
    s.Free(handleBuffer);
    r.checks["buffers"] = buffers;
    if (r.rc != TWRC_XFERDONE || bytesPerRow == 0 || info.ImageLength <= 0) return r;
    const uint32_t height = static_cast<uint32_t>(info.ImageLength);
    const uint32_t colours = palette.NumColors;
    const uint32_t offBits = 54 + 4 * colours;
    r.bmp.assign(offBits + bytesPerRow * height, 0);
    r.bmp[0] = 'B';
    r.bmp[1] = 'M';
    Put32(r.bmp, 2, static_cast<uint32_t>(r.bmp.size()));
    Put32(r.bmp, 10, offBits);
    Put32(r.bmp, 14, 40);
    Put32(r.bmp, 18, static_cast<uint32_t>(info.ImageWidth));
    Put32(r.bmp, 22, height);
    r.bmp[26] = 1;
    r.bmp[28] = static_cast<uint8_t>(info.BitsPerPixel);
    Put32(r.bmp, 34, bytesPerRow * height);
    Put32(r.bmp, 46, colours);
    for (uint32_t i = 0; i < colours; ++i) {
        r.bmp[54 + 4 * i] = palette.Colors[i].Channel3;
        r.bmp[55 + 4 * i] = palette.Colors[i].Channel2;
        r.bmp[56 + 4 * i] = palette.Colors[i].Channel1;
    }
    for (uint32_t row = 0; row < height && (row + 1) * bytesPerRow <= rows.size(); ++row) {
        std::memcpy(r.bmp.data() + offBits + (height - 1 - row) * bytesPerRow, rows.data() + row * bytesPerRow,
                    bytesPerRow);
    }
    return r;
}

// One session: open the source, enable it, receive `count` images, disable and close it.
bool Session(CTwainSession& s, const std::string& source, const std::string& mech, int count,
             const std::filesystem::path& outDir, int& serial, int showUi, int timeoutMs, bool readCaps,
             json& summary) {
    std::string problem;
    if (!s.OpenSource(source, problem)) {
        summary["error"] = problem;
        return false;
    }
    summary["identity"] = {{"manufacturer", s.Source().Manufacturer}, {"product", s.Source().ProductName},
                           {"family", s.Source().ProductFamily}, {"info", s.Source().Version.Info},
                           {"groups", Hex32(s.Source().SupportedGroups)},
                           {"protocol", std::to_string(s.Source().ProtocolMajor) + "." +
                                            std::to_string(s.Source().ProtocolMinor)}};
    if (readCaps) summary["capabilities"] = Capabilities(s);
    const TW_UINT16 mechValue = mech == "file" ? TWSX_FILE : mech == "memory" ? TWSX_MEMORY : TWSX_NATIVE;
    SetOneValue(s, ICAP_XFERMECH, TWTY_UINT16, mechValue);

    TW_USERINTERFACE ui{};
    ui.ShowUI = static_cast<TW_BOOL>(showUi);
    ui.hParent = s.Window();
    const int64_t enabledAt = NowMs();
    if (s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        summary["error"] = "the source refused MSG_ENABLEDS (condition " + std::to_string(s.Condition()) + ")";
        s.CloseSource();
        return false;
    }
    summary["enabledMs"] = enabledAt;
    int received = 0, announcements = 0;
    bool ready = false;
    while (received < count) {
        if (!ready) {
            if (!s.WaitFor(MSG_XFERREADY, static_cast<DWORD>(timeoutMs))) {
                summary["error"] = s.LastSourceMessage() == MSG_CLOSEDSREQ ? "the user cancelled"
                                                                           : "no image arrived in time";
                break;
            }
            ++announcements;
        }
        const int64_t readyAt = NowMs();
        json image{{"readyMs", readyAt}};
        TW_PENDINGXFERS before{};
        s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &before);
        image["pendingBefore"] = before.Count;
        char name[32];
        std::snprintf(name, sizeof name, "image%02d.bmp", ++serial);
        const std::filesystem::path path = outDir / name;
        Received r = mech == "file" ? TransferFile(s, path) : mech == "memory" ? TransferMemory(s) : TransferNative(s);
        image["rc"] = r.rc;
        image["checks"] = r.checks;
        if (r.bmp.empty()) {
            image["cc"] = s.Condition();
            summary["images"].push_back(image);
            summary["error"] = "a transfer failed";
            TW_PENDINGXFERS reset{};
            s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &reset);
            break;
        }
        if (mech != "file") WriteFile(path, r.bmp);
        image["receivedMs"] = NowMs();
        image["file"] = path.filename().string();
        image["bytes"] = r.bmp.size();
        ++received;
        TW_PENDINGXFERS pending{};
        s.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        image["pendingAfter"] = pending.Count;
        summary["images"].push_back(image);
        ready = pending.Count > 0;
    }
    s.Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    // Nothing may be announced once the session is over.
    s.WaitFor(MSG_XFERREADY, 500);
    summary["lateAnnouncement"] = summary.value("lateAnnouncement", false) || s.LastSourceMessage() == MSG_XFERREADY;
    summary["announcements"] = summary.value("announcements", 0) + announcements;
    summary["received"] = summary.value("received", 0) + received;
    s.CloseSource();
    return received == count;
}

int Acquire(const ManagerChoice& manager, const std::string& source, const std::string& mech, int count, int sessions,
            const std::filesystem::path& outDir, int showUi, int timeoutMs, bool readCaps,
            const std::string& jsonPath) {
    json summary{{"source", source}, {"mech", mech}, {"showUI", showUi}, {"images", json::array()}};
    std::string problem;
    CTwainSession s;
    std::filesystem::create_directories(outDir);
    bool ok = s.OpenManager(manager, problem);
    if (!ok) summary["error"] = problem;
    int serial = 0;
    // Later sessions reuse the source the manager keeps loaded.
    for (int i = 0; ok && i < sessions; ++i) {
        ok = Session(s, source, mech, count, outDir, serial, showUi, timeoutMs, readCaps && i == 0, summary);
    }
    s.CloseManager();
    summary["manager"] = s.ManagerSummary();
    if (!jsonPath.empty()) std::ofstream(jsonPath) << summary.dump(2) << "\n";
    std::printf("%s\n", summary.dump().c_str());
    if (!ok) {
        std::fprintf(stderr, "twain_client: %s\n", summary.value("error", std::string("images missing")).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"TWAIN imaging program for tests and integrators; talks to the TWAIN manager only"};
    app.require_subcommand(1);
    CLI::App* list = app.add_subcommand("list", "the sources the manager offers");
    CLI::App* acquire = app.add_subcommand("acquire", "enable a source and receive its images");
    std::string source = "QOR SOURCE", mech = "native", out = ".", jsonPath;
    int count = 1, showUi = 0, timeoutMs = 60000, sessions = 1;
    bool caps = false;
    acquire->add_option("--source", source, "product name of the source");
    acquire->add_option("--mech", mech, "native, file or memory")->check(CLI::IsMember({"native", "file", "memory"}));
    acquire->add_option("--count", count, "images to receive")->check(CLI::Range(1, 64));
    acquire->add_option("--out", out, "folder for the received BMP files");
    acquire->add_option("--sessions", sessions, "sessions in a row, each of --count images")->check(CLI::Range(1, 16));
    acquire->add_option("--show-ui", showUi, "ShowUI of MSG_ENABLEDS")->check(CLI::Range(0, 1));
    acquire->add_option("--timeout-ms", timeoutMs, "longest wait for each announcement");
    acquire->add_flag("--caps", caps, "read every capability and try the set rules");
    acquire->add_option("--json", jsonPath, "write the summary there");
    CLI::App* cycles = app.add_subcommand("cycles", "open and close the source many times in one process");
    CLI::App* reopen = app.add_subcommand("reopen", "close the manager with the source open, then reopen both");
    CLI::App* enable = app.add_subcommand("enable", "enable and disable the source once");
    CLI::App* cancel = app.add_subcommand("cancel", "press Cancel in the source's window");
    int cycleCount = 200, sampleEvery = 20, enableShowUi = 1;
    for (CLI::App* habit : {cycles, reopen, enable, cancel}) {
        habit->add_option("--source", source, "product name of the source");
        habit->add_option("--json", jsonPath, "write the summary there");
    }
    cycles->add_option("--count", cycleCount, "open/close cycles")->check(CLI::Range(1, 100000));
    cycles->add_option("--sample-every", sampleEvery, "cycles between resource samples")->check(CLI::Range(1, 100000));
    enable->add_option("--show-ui", enableShowUi, "ShowUI of MSG_ENABLEDS")->check(CLI::Range(0, 1));
    cancel->add_option("--timeout-ms", timeoutMs, "longest wait for MSG_CLOSEDSREQ");
    std::string managerName = "twain32", callbackName = "none";
    for (CLI::App* command : {list, acquire, cycles, reopen, enable, cancel}) {
        command->add_option("--manager", managerName, "twain32: TWAIN_32.DLL as a 1.9 program; twaindsm: TWAINDSM.DLL as 2.4")
            ->check(CLI::IsMember({"twain32", "twaindsm"}));
        command->add_option("--callback", callbackName, "with twaindsm: none (events), callback or callback2")
            ->check(CLI::IsMember({"none", "callback", "callback2"}));
    }
    CLI11_PARSE(app, argc, argv);
    ManagerChoice manager;
    manager.twain2 = managerName == "twaindsm";
    manager.callback = callbackName == "callback"    ? ManagerChoice::Callback::Callback
                       : callbackName == "callback2" ? ManagerChoice::Callback::Callback2
                                                     : ManagerChoice::Callback::None;
    if (!manager.twain2 && manager.callback != ManagerChoice::Callback::None) {
        std::fprintf(stderr, "twain_client: --callback needs --manager twaindsm (TWAIN_32.DLL has no callbacks)\n");
        return 2;
    }

    json habit;
    if (cycles->parsed()) habit = habits::OpenCloseCycles(manager, source, cycleCount, sampleEvery);
    if (reopen->parsed()) habit = habits::ReopenManager(manager, source);
    if (enable->parsed()) habit = habits::EnableDisable(manager, source, enableShowUi != 0);
    if (cancel->parsed()) habit = habits::CancelFromWindow(manager, source, timeoutMs);
    if (!habit.is_null()) {
        if (!jsonPath.empty()) std::ofstream(jsonPath) << habit.dump(2) << "\n";
        std::printf("%s\n", habit.dump().c_str());
        if (!habit.value("ok", false)) {
            std::fprintf(stderr, "twain_client: %s\n", habit.value("error", std::string("failed")).c_str());
            return 1;
        }
        return 0;
    }

    if (list->parsed()) {
        CTwainSession s;
        std::string problem;
        if (!s.OpenManager(manager, problem)) {
            std::fprintf(stderr, "twain_client: %s\n", problem.c_str());
            return 1;
        }
        json sources = json::array();
        for (const TW_IDENTITY& id : s.Sources()) {
            sources.push_back({{"product", id.ProductName}, {"manufacturer", id.Manufacturer}, {"id", id.Id},
                               {"groups", Hex32(id.SupportedGroups)},
                               {"protocol", std::to_string(id.ProtocolMajor) + "." + std::to_string(id.ProtocolMinor)}});
        }
        std::printf("%s\n", sources.dump(2).c_str());
        return 0;
    }
    return Acquire(manager, source, mech, count, sessions, out, showUi, timeoutMs, caps, jsonPath);
}
