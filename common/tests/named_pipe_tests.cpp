// CNamedPipe under Wine: the server end's life cycle and log lines, clients in other processes
// (this program started again as a client), the time limit under a silent client, a client end
// after its server has gone, and a second server under the same name.
#include "common/named_pipe.h"

#include "common/core/log_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

const wchar_t kName[] = L"\\\\.\\PIPE\\QOR COMM TEST";

std::string LogPath() {
    return (std::filesystem::temp_directory_path() / "qor_named_pipe_test_log.txt").string();
}

// The log's messages (after the level), all in one text, since the last call.
std::string NewLog() {
    static size_t seen = 0;
    std::ifstream in(LogPath());
    std::string messages;
    size_t index = 0;
    for (std::string line; std::getline(in, line); ++index) {
        if (index >= seen) {
            messages += line.substr(line.find(" - ", 15) + 3) + "\n";
        }
    }
    seen = index;
    return messages;
}

bool WaitFor(const std::function<bool()>& condition) {
    for (int waited = 0; waited < 5000 && !condition(); waited += 10) {
        Sleep(10);
    }
    return condition();
}

TEST(NamedPipe, ServerEndLifeCycleAndItsLogLines) {
    NewLog();
    CNamedPipe server;
    EXPECT_FALSE(server.Create(kName, 2, L""));
    EXPECT_FALSE(server.IsOpen());
    ASSERT_TRUE(server.Create(kName, 0, L""));
    // Already open: stays open as the server end it is (its Close below shows it).
    EXPECT_FALSE(server.Create(L"\\\\.\\PIPE\\other", 1, L"x"));
    EXPECT_TRUE(server.IsOpen());
    char byte = 0;
    DWORD done = 7;
    EXPECT_FALSE(server.Read(&byte, 1, &done));  // no client yet: at once, silently
    EXPECT_EQ(0u, done);
    EXPECT_EQ("", NewLog());

    EXPECT_TRUE(server.Close());  // the dummy client frees the waiting thread
    EXPECT_EQ(" ConxThreadFunc: Connection established!\n"
              " CNamedPipe::Close: Thread exited successfully.\n", NewLog());
    ASSERT_TRUE(server.Create(kName, 0, L""));  // the name is free again at once
    EXPECT_TRUE(server.Close());
    NewLog();
    EXPECT_FALSE(server.Close());
    EXPECT_FALSE(server.Write("x", 1, &done));
    EXPECT_EQ(" CNamedPipe::Close: Pipe handle is invalid!\n"
              " CNamedPipe::Write: Invalid pointers or pipe not open!\n", NewLog());
}

// The client process: sends "ping", expects "pong"; 0 on success.
int RunPingClient() {
    CNamedPipe client;
    client.SetTimeLimit(5000);
    char reply[4] = {};
    DWORD done = 0;
    return client.Create(kName, 1, L"") && client.Write("ping", 4, &done) &&
                   client.Read(reply, 4, &done) && done == 4 && std::string(reply, 4) == "pong"
               ? 0
               : 1;
}

TEST(NamedPipe, ClientsInOtherProcessesOneAfterAnother) {
    CNamedPipe server;
    ASSERT_TRUE(server.Create(kName, 0, L""));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --ping-client";
    NewLog();
    for (int round = 0; round < 2; ++round) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        DWORD available = 0;
        char request[4] = {};
        DWORD done = 0;
        EXPECT_TRUE(WaitFor([&] { return server.Peek(&available) && available == 4; }));
        EXPECT_TRUE(server.Read(request, 4, &done) && server.Write("pong", 4, &done));
        DWORD exitCode = 1;
        WaitForSingleObject(process.hProcess, 10000);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        EXPECT_EQ(0u, exitCode);
        // The client has gone: the read says so and the end waits for the next client.
        EXPECT_FALSE(server.Read(request, 1, &done));
        EXPECT_FALSE(server.IsConnected());
    }
    EXPECT_EQ(" ConxThreadFunc: Connection established!\n"
              " CNamedPipe::Read: ReadFile failed: Error Code:109 \n"
              " ConxThreadFunc: Connection established!\n"
              " CNamedPipe::Read: ReadFile failed: Error Code:109 \n", NewLog());
}

TEST(NamedPipe, SilentClientIsDroppedAtTheTimeLimit) {
    CNamedPipe server;
    server.SetTimeLimit(500);
    ASSERT_TRUE(server.Create(kName, 0, L""));
    CNamedPipe silent;
    ASSERT_TRUE(silent.Create(kName, 1, L""));
    ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    NewLog();
    // The write ends instead of waiting for ever, and the client is let go rather than left
    // with a stream out of step; the same instance waits for the next client.
    std::vector<char> image(1037722, 'i');
    DWORD done = 0;
    EXPECT_FALSE(server.Write(image.data(), static_cast<DWORD>(image.size()), &done));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_NE(std::string::npos, NewLog().find("for 500 ms; it is disconnected."));
    EXPECT_TRUE(server.IsOpen());
    EXPECT_FALSE(server.IsConnected());
    BOOL readOk = TRUE;
    for (int reads = 0; readOk && reads < 2000; ++reads) {
        readOk = silent.Read(image.data(), static_cast<DWORD>(image.size()), &done);
    }
    EXPECT_FALSE(readOk);
    EXPECT_TRUE(silent.IsOpen());  // a client end is never re-created
    CNamedPipe next;  // busy until the connection thread listens again
    ASSERT_TRUE(WaitFor([&] { return next.IsOpen() || next.Create(kName, 1, L""); }));
    EXPECT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    EXPECT_TRUE(next.Write("ok", 2, &done));
    char reply[2] = {};
    EXPECT_TRUE(server.Read(reply, 2, &done));
    EXPECT_EQ("ok", std::string(reply, 2));
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
    const std::string error = std::to_string(GetLastError());
    EXPECT_EQ("src CNamedPipe::Read: ReadFile failed: Error Code:" + error + " \n", NewLog());
    EXPECT_TRUE(client.IsOpen());
}

TEST(NamedPipe, SecondServerIsRefusedAndReported) {
    CNamedPipe first;
    ASSERT_TRUE(first.Create(kName, 0, L""));
    NewLog();
    CNamedPipe second;
    EXPECT_FALSE(second.Create(kName, 0, L""));
    EXPECT_FALSE(second.IsOpen());
    // ERROR_ACCESS_DENIED on Windows (first-instance flag), ERROR_PIPE_BUSY under Wine.
    const std::string log = NewLog();
    EXPECT_TRUE(log.find("CreateNamedPipe Failed with error code 5!") != std::string::npos ||
                log.find("CreateNamedPipe Failed with error code 231!") != std::string::npos)
        << log;
    EXPECT_NE(std::string::npos, log.find("another program already serves this pipe"));
    CNamedPipe client;  // the clients still reach the first
    ASSERT_TRUE(client.Create(kName, 1, L""));
    EXPECT_TRUE(WaitFor([&] { return first.IsConnected(); }));
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
