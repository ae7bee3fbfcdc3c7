// CNamedPipe under Wine: the server end's life cycle and its log lines, a client in another
// process (this program started again as a client), departed and silent clients, a second server.
#include "common/named_pipe.h"

#include "common/core/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kName[] = L"\\\\.\\PIPE\\QOR COMM TEST";

std::string LogPath() {
    return (std::filesystem::temp_directory_path() / "qor_named_pipe_test_log.txt").string();
}

// Log messages (after the level) written since the last call.
std::vector<std::string> NewLog() {
    static size_t seen = 0;
    std::ifstream in(LogPath());
    std::vector<std::string> messages;
    size_t index = 0;
    for (std::string line; std::getline(in, line); ++index) {
        if (index >= seen) {
            const size_t separator = line.find(" - ", 15);
            messages.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
        }
    }
    seen = index;
    return messages;
}

bool Contains(const std::vector<std::string>& log, const std::string& text) {
    for (const std::string& line : log) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 5000) {
    for (int waited = 0; waited < milliseconds; waited += 10) {
        if (condition()) {
            return true;
        }
        Sleep(10);
    }
    return condition();
}

// This program again, as a client that sends "ping", expects "pong" and ends with 0 on success.
HANDLE StartClientProcess() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --ping-client";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

int RunPingClient() {
    CNamedPipe client;
    client.SetTimeLimit(5000);
    if (!client.Create(kName, 1, L"")) {
        return 2;
    }
    DWORD done = 0;
    if (!client.Write("ping", 4, &done) || done != 4) {
        return 3;
    }
    char reply[4] = {};
    if (!client.Read(reply, 4, &done) || done != 4 || std::string(reply, 4) != "pong") {
        return 4;
    }
    return 0;
}

// The server answers one ping of the client process; true when the process ended with 0.
bool ServePing(CNamedPipe& server, HANDLE process) {
    DWORD available = 0;
    const bool pinged = WaitFor([&] { return server.Peek(&available) && available >= 4; });
    char request[4] = {};
    DWORD done = 0;
    const bool answered = pinged && server.Read(request, 4, &done) && done == 4 &&
                          std::string(request, 4) == "ping" && server.Write("pong", 4, &done);
    DWORD exitCode = 1;
    WaitForSingleObject(process, 10000);
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return answered && exitCode == 0;
}

TEST(NamedPipe, ServerEndLifeCycleAndItsLogLines) {
    NewLog();
    CNamedPipe server;
    EXPECT_FALSE(server.Create(kName, 2, L""));
    EXPECT_FALSE(server.IsOpen());
    EXPECT_TRUE(NewLog().empty());

    ASSERT_TRUE(server.Create(kName, 0, L""));
    EXPECT_FALSE(server.Create(kName, 0, L""));  // already open: stays open
    EXPECT_TRUE(server.IsOpen());
    char byte = 0;
    DWORD done = 7;
    EXPECT_FALSE(server.Read(&byte, 1, &done));  // no client yet: at once, silently
    EXPECT_EQ(0u, done);
    EXPECT_TRUE(NewLog().empty());

    EXPECT_TRUE(server.Close());  // the dummy client frees the waiting thread
    auto log = NewLog();
    EXPECT_TRUE(Contains(log, "Dummy ConxThreadFunc") || Contains(log, " ConxThreadFunc: Connection established!"));
    EXPECT_TRUE(Contains(log, " CNamedPipe::Close: Thread exited successfully.")) << log.size();
    ASSERT_TRUE(server.Create(kName, 0, L""));  // the name is free again at once
    EXPECT_TRUE(server.Close());
    NewLog();
    EXPECT_FALSE(server.Close());
    log = NewLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(" CNamedPipe::Close: Pipe handle is invalid!", log[0]);
    EXPECT_FALSE(server.Write("x", 1, &done));
    EXPECT_TRUE(Contains(NewLog(), " CNamedPipe::Write: Invalid pointers or pipe not open!"));
}

TEST(NamedPipe, ClientsInOtherProcessesOneAfterAnother) {
    CNamedPipe server;
    ASSERT_TRUE(server.Create(kName, 0, L""));
    NewLog();
    for (int round = 0; round < 3; ++round) {
        HANDLE process = StartClientProcess();
        ASSERT_NE(nullptr, process);
        EXPECT_TRUE(ServePing(server, process)) << "round " << round;
        // The client has gone: a look fails quietly, the read reports it and the end waits for
        // the next client.
        DWORD available = 0;
        EXPECT_TRUE(WaitFor([&] { return !server.Peek(&available); }));
        EXPECT_TRUE(server.IsConnected());
        char byte = 0;
        DWORD done = 0;
        EXPECT_FALSE(server.Read(&byte, 1, &done));
        EXPECT_TRUE(server.IsOpen());
        EXPECT_FALSE(server.IsConnected());
    }
    const auto log = NewLog();
    EXPECT_TRUE(Contains(log, " ConxThreadFunc: Connection established!"));
    EXPECT_TRUE(Contains(log, " CNamedPipe::Read: ReadFile failed: Error Code:109"));
    EXPECT_TRUE(server.Close());
}

TEST(NamedPipe, DepartedAndSilentClientsMakeRoomForTheNext) {
    CNamedPipe server;
    server.SetTimeLimit(500);
    ASSERT_TRUE(server.Create(kName, 0, L""));
    std::vector<char> image(1037722, 'i');
    DWORD done = 0;

    // A client that has gone: the write fails (109 under Wine, 232 on Windows), new instance.
    {
        CNamedPipe client;
        ASSERT_TRUE(client.Create(kName, 1, L"c"));
        ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    }
    NewLog();
    EXPECT_FALSE(server.Write(image.data(), static_cast<DWORD>(image.size()), &done));
    const DWORD goneError = GetLastError();
    EXPECT_TRUE(goneError == ERROR_BROKEN_PIPE || goneError == ERROR_NO_DATA) << goneError;
    EXPECT_TRUE(server.IsOpen());
    EXPECT_FALSE(server.IsConnected());
    EXPECT_TRUE(Contains(NewLog(), " CNamedPipe::Write: WriteFile failed: Error code:"));

    // A client that connects and never reads: the write ends at the time limit and the client is
    // dropped, so it sees a broken pipe instead of a stream out of step.
    CNamedPipe silent;
    ASSERT_TRUE(silent.Create(kName, 1, L""));
    ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(server.Write(image.data(), static_cast<DWORD>(image.size()), &done));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(Contains(NewLog(), "it is disconnected."));
    EXPECT_FALSE(server.IsConnected());
    std::vector<char> sink(image.size());
    BOOL readOk = TRUE;
    for (int reads = 0; readOk && reads < 2000; ++reads) {
        readOk = silent.Read(sink.data(), static_cast<DWORD>(sink.size()), &done);
    }
    EXPECT_FALSE(readOk);
    const DWORD clientError = GetLastError();
    EXPECT_TRUE(clientError == ERROR_BROKEN_PIPE || clientError == ERROR_PIPE_NOT_CONNECTED)
        << clientError;
    EXPECT_TRUE(silent.IsOpen());  // a client end is never re-created
    EXPECT_TRUE(silent.Close());

    // The re-created end serves the next client in full.
    HANDLE process = StartClientProcess();
    ASSERT_NE(nullptr, process);
    EXPECT_TRUE(ServePing(server, process));
    EXPECT_TRUE(server.Close());
}

TEST(NamedPipe, ClientReadAfterServerGoneFailsAndStays) {
    CNamedPipe server;
    ASSERT_TRUE(server.Create(kName, 0, L""));
    CNamedPipe client;
    ASSERT_TRUE(client.Create(kName, 1, L"src"));
    ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    EXPECT_TRUE(server.Close());
    NewLog();
    char byte = 0;
    DWORD done = 0;
    EXPECT_FALSE(client.Read(&byte, 1, &done));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) << error;
    EXPECT_TRUE(Contains(NewLog(), "src CNamedPipe::Read: ReadFile failed: Error Code:"));
    EXPECT_TRUE(client.IsOpen());
    EXPECT_TRUE(client.Close());
}

TEST(NamedPipe, SecondServerIsRefusedAndReported) {
    CNamedPipe first;
    ASSERT_TRUE(first.Create(kName, 0, L""));
    NewLog();
    CNamedPipe second;
    EXPECT_FALSE(second.Create(kName, 0, L""));
    EXPECT_FALSE(second.IsOpen());
    const auto log = NewLog();
    // ERROR_ACCESS_DENIED on Windows (first-instance flag), ERROR_PIPE_BUSY under Wine.
    EXPECT_TRUE(Contains(log, " CNamedPipe::Create: CreateNamedPipe Failed with error code 5!") ||
                Contains(log, " CNamedPipe::Create: CreateNamedPipe Failed with error code 231!"));
    EXPECT_TRUE(Contains(log, "another program already serves this pipe"));
    // The first server still gets the clients.
    HANDLE process = StartClientProcess();
    ASSERT_NE(nullptr, process);
    EXPECT_TRUE(ServePing(first, process));
    EXPECT_TRUE(first.Close());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--ping-client") {
        return RunPingClient();
    }
    testing::InitGoogleTest(&argc, argv);
    TheLogFile().Open(LogPath().c_str(), LOG_INFO);
    return RUN_ALL_TESTS();
}
