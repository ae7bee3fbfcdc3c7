// A stand-in for QOR APP's pipe server in the source's tests, copied as "QOR APP.exe" into a test
// installation folder. It serves a store of small bitmaps with the pipe's exchanges, or misbehaves
// on purpose, and keeps what it saw in "fake_state.txt" beside itself (written before each reply,
// so a test reads it once the source has its answer).
// "fake_mode.txt" beside it: store N | store-dropconfirm N | size S | dribble 1 | silent MS (ends
// after MS without a pipe) | late MS (one image, its pipe after MS: a slow start) | earlier N (a
// QOR APP of the first protocol: 0x01 and 0x02 only, every other byte ignored) | withdraw N (the
// dentist deletes the first image right after it was lent) | mute 0 (its pipe opens but never
// answers: a hung server)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "common/core/crc32.h"
#include "common/core/pipe_messages.h"

namespace {

struct Image {
    int32_t id;
    std::vector<uint8_t> bytes;
};

std::wstring g_folder;
std::string g_mode;
std::deque<Image> g_store;
std::string g_commands;
std::string g_cwd;
int g_dribbled = 0;
bool g_withdrawn = false;
bool g_ranOut = false;
bool g_peerGone = false;
int32_t g_announcedSize = 0;  // "size" mode: what CHECK_PENDING_IMAGES announces

// An 8-bit grey bitmap, 8 x 4 pixels, whose pixels say which image it is.
std::vector<uint8_t> Bitmap(int serial) {
    const uint32_t size = 1078 + 8 * 4;
    std::vector<uint8_t> b(size, 0);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, size);
    put32(10, 1078);
    put32(14, 40);
    put32(18, 8);
    put32(22, 4);
    b[26] = 1;
    b[28] = 8;
    put32(34, 32);
    put32(46, 256);
    for (int i = 0; i < 256; ++i) b[54 + 4 * i] = b[55 + 4 * i] = b[56 + 4 * i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 32; ++i) b[1078 + i] = static_cast<uint8_t>(serial * 16 + i);
    return b;
}

void SaveState() {
    std::string text = "cwd=" + g_cwd + "\nstored=" + std::to_string(g_store.size()) + "\ncommands=" + g_commands +
                       "\ndribbled=" + std::to_string(g_dribbled) + "\nranout=" + (g_ranOut ? "1" : "0") +
                       "\ngone=" + (g_peerGone ? "1" : "0") + "\npid=" + std::to_string(GetCurrentProcessId()) + "\n";
    const std::wstring path = g_folder + L"fake_state.txt";
    const std::wstring temp = path + L".new";
    if (FILE* f = _wfopen(temp.c_str(), L"wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        // The test may be reading the file at this moment: try again until it is free.
        for (int i = 0; i < 200 && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING); ++i) Sleep(10);
    }
}

bool Put(HANDLE pipe, const void* bytes, size_t count) {
    DWORD n = 0;
    return WriteFile(pipe, bytes, static_cast<DWORD>(count), &n, nullptr) && n == count;
}

// One byte every 300 ms, 60 at most: a peer that waits for each read on its own never gives up.
void Dribble(HANDLE pipe, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 60) {
            g_ranOut = true;
            SaveState();
            return;
        }
        // A departed client shows in a look at the pipe even where a small write still "succeeds".
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr) || !Put(pipe, &bytes[i], 1)) {
            g_peerGone = true;
            SaveState();
            return;
        }
        ++g_dribbled;
        Sleep(300);
    }
}

// Oldest first, leaving out the named ids.
const Image* Oldest(const std::vector<int32_t>& except) {
    for (const Image& image : g_store) {
        if (std::find(except.begin(), except.end(), image.id) == except.end()) return &image;
    }
    return nullptr;
}

int32_t CountExcept(const std::vector<int32_t>& except) {
    return static_cast<int32_t>(std::count_if(g_store.begin(), g_store.end(), [&](const Image& image) {
        return std::find(except.begin(), except.end(), image.id) == except.end();
    }));
}

void Lend(HANDLE pipe, const Image* image) {
    qor::pipe::LentImage header;
    if (image != nullptr) {
        header = {image->id, static_cast<int32_t>(image->bytes.size()), qor::Crc32(image->bytes.data(), image->bytes.size())};
    }
    SaveState();
    Put(pipe, qor::pipe::EncodeLendHeader(header).data(), qor::pipe::kLendHeaderBytes);
    if (image == nullptr) return;
    if (g_mode == "dribble") {
        Dribble(pipe, image->bytes);
        return;
    }
    Put(pipe, image->bytes.data(), image->bytes.size());
    if (g_mode == "withdraw" && !g_withdrawn) {
        g_withdrawn = true;  // the first one only
        const int32_t id = image->id;
        g_store.erase(std::find_if(g_store.begin(), g_store.end(), [&](const Image& i) { return i.id == id; }));
        SaveState();
    }
}

// A QOR APP of the first protocol reads one byte at a time and knows two of them.
void ServeEarlier(HANDLE pipe) {
    uint8_t byte = 0;
    DWORD n = 0;
    while (ReadFile(pipe, &byte, 1, &n, nullptr) && n == 1) {
        g_commands += std::to_string(byte);
        g_commands += ' ';
        const Image* oldest = g_store.empty() ? nullptr : &g_store.front();
        if (byte == qor::pipe::CHECK_PENDING_IMAGES) {
            const qor::pipe::PendingImages reply{static_cast<int32_t>(g_store.size()),
                                                 oldest ? static_cast<int32_t>(oldest->bytes.size()) : 0};
            SaveState();
            Put(pipe, qor::pipe::EncodePendingImages(reply).data(), qor::pipe::kPendingReplyBytes);
        } else if (byte == qor::pipe::GET_IMAGES && oldest != nullptr) {
            const Image image = *oldest;
            g_store.pop_front();
            SaveState();
            Put(pipe, image.bytes.data(), image.bytes.size());
        }
    }
}

void Serve(HANDLE pipe) {
    if (g_mode == "earlier") return ServeEarlier(pipe);
    qor::pipe::RequestReader reader;
    uint8_t buffer[64];
    DWORD n = 0;
    if (g_mode == "mute") {
        while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        }
        return;
    }
    while (ReadFile(pipe, buffer, static_cast<DWORD>(reader.Room() < sizeof buffer ? reader.Room() : sizeof buffer), &n,
                    nullptr) &&
           n > 0) {
        reader.Feed(buffer, n);
        qor::pipe::RequestReader::Parsed request;
        while (reader.Next(request)) {
            g_commands += std::to_string(request.byte);
            g_commands += ' ';
            const Image* oldest = g_store.empty() ? nullptr : &g_store.front();
            switch (request.request) {
                case qor::pipe::Request::CheckPendingImages: {
                    qor::pipe::PendingImages reply{static_cast<int32_t>(g_store.size()),
                                                   oldest ? static_cast<int32_t>(oldest->bytes.size()) : 0};
                    if (g_mode == "size") reply = {1, g_announcedSize};
                    SaveState();
                    Put(pipe, qor::pipe::EncodePendingImages(reply).data(), qor::pipe::kPendingReplyBytes);
                    break;
                }
                case qor::pipe::Request::GetImages:
                    if (oldest == nullptr) break;
                    if (g_mode == "dribble") {
                        Dribble(pipe, oldest->bytes);
                        return;
                    }
                    {
                        const Image image = *oldest;
                        g_store.pop_front();
                        SaveState();
                        Put(pipe, image.bytes.data(), image.bytes.size());
                    }
                    break;
                case qor::pipe::Request::LendImage:
                case qor::pipe::Request::LendImageExcept: {
                    const Image* image = Oldest(request.exceptIds);
                    Lend(pipe, image);
                    if (image != nullptr && g_mode == "dribble") return;
                    break;
                }
                case qor::pipe::Request::Hello:
                    SaveState();
                    Put(pipe, qor::pipe::EncodeHelloReply().data(), qor::pipe::kHelloReplyBytes);
                    break;
                case qor::pipe::Request::CheckPendingExcept: {
                    const Image* first = Oldest(request.exceptIds);
                    qor::pipe::PendingExcept reply{CountExcept(request.exceptIds), first ? first->id : 0,
                                                   first ? static_cast<int32_t>(first->bytes.size()) : 0};
                    if (g_mode == "size") reply = {1, 100000001, g_announcedSize};
                    SaveState();
                    Put(pipe, qor::pipe::EncodePendingExcept(reply).data(), qor::pipe::kPendingExceptReplyBytes);
                    break;
                }
                case qor::pipe::Request::ConfirmImage: {
                    if (g_mode == "store-dropconfirm") {
                        // The first confirmation is lost with the connection.
                        g_mode = "store";
                        SaveState();
                        return;
                    }
                    bool removed = false;
                    for (auto it = g_store.begin(); it != g_store.end(); ++it) {
                        if (it->id == request.confirmation.nImageId &&
                            qor::Crc32(it->bytes.data(), it->bytes.size()) == request.confirmation.nCrc32) {
                            g_store.erase(it);
                            removed = true;
                            break;
                        }
                    }
                    SaveState();
                    Put(pipe, qor::pipe::EncodeConfirmReply(removed).data(), qor::pipe::kConfirmReplyBytes);
                    break;
                }
                default: break;
            }
        }
    }
}

}  // namespace

int main() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *(wcsrchr(path, L'\\') + 1) = 0;
    g_folder = path;
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    g_cwd = cwd;
    // The test leaves the mode beside the program: the source starts it without arguments.
    char mode[32] = {};
    long number = 0;
    if (FILE* f = _wfopen((g_folder + L"fake_mode.txt").c_str(), L"rb")) {
        if (std::fscanf(f, "%31s %ld", mode, &number) != 2) number = 0;
        std::fclose(f);
    }
    g_mode = mode;
    if (g_mode == "size") {
        g_announcedSize = static_cast<int32_t>(number);
    } else if (g_mode == "silent" || g_mode == "late") {
        if (g_mode == "late") g_store.push_back({100000001, Bitmap(1)});
    } else {
        for (int i = 1; i <= number; ++i) g_store.push_back({100000000 + i, Bitmap(i)});
    }
    SaveState();
    if (g_mode == "silent" || g_mode == "late") Sleep(static_cast<DWORD>(number));
    if (g_mode == "silent") return 0;
    HANDLE pipe = CreateNamedPipeW(reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    for (;;) {
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            g_commands += "| ";
            Serve(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
}
