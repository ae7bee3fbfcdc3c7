// CNamedPipe: creation, the connection thread, overlapped transfers waited for synchronously,
// a fresh wait for the next client after one has gone, and a close that frees a thread still
// waiting.
#include "common/named_pipe.h"

#include "common/core/catch_all.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"

#include <cwchar>

namespace {

// The server serves one client at a time, so one instance is all it needs; the limit also makes
// the system refuse the instance of any second server under the name (where the first-instance
// flag alone is not enforced).
constexpr DWORD kServerInstances = 1;

void CopyText(wchar_t* to, size_t capacity, const wchar_t* from) {
    if (from == nullptr) {
        to[0] = L'\0';
        return;
    }
    std::wcsncpy(to, from, capacity - 1);
    to[capacity - 1] = L'\0';
}

}  // namespace

CNamedPipe::~CNamedPipe() {
    if (m_hPipe != nullptr) {
        Close();
    }
}

BOOL CNamedPipe::Create(const wchar_t* name, int client, const wchar_t* tag) {
    // An open end keeps its own name, tag and kind: changing them under it would make its Close
    // treat a server end as a client end.
    if (m_hPipe != nullptr) {
        return FALSE;
    }
    m_bClient = client;
    CopyText(m_szPipeName, MAX_PATH, name);
    CopyText(m_szTag, sizeof m_szTag / sizeof m_szTag[0], tag);
    WideCharToMultiByte(CP_ACP, 0, m_szTag, -1, m_szLogTag, sizeof m_szLogTag, nullptr, nullptr);
    if (name == nullptr || tag == nullptr || (client != 0 && client != 1)) {
        return FALSE;
    }
    HANDLE pipe = INVALID_HANDLE_VALUE;
    if (client == 0) {
        // Patient images never leave the workstation, and a second server under the same name
        // (a second QOR APP, another program) is refused instead of sharing the clients.
        pipe = CreateNamedPipeW(m_szPipeName,
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                    FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                    PIPE_REJECT_REMOTE_CLIENTS,
                                kServerInstances, qor::pipe::kBufferBytes,
                                qor::pipe::kBufferBytes, qor::pipe::kDefaultTimeoutMs, nullptr);
    } else {
        pipe = CreateFileW(m_szPipeName, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        TheLogFile().WriteFormat(LOG_FATAL,
                                 "%s CNamedPipe::Create: CreateNamedPipe Failed with error code %d!\n",
                                 m_szLogTag, static_cast<int>(error));
        if (client == 0 && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)) {
            TheLogFile().WriteFormat(LOG_FATAL,
                                     "%s CNamedPipe::Create: another program already serves this "
                                     "pipe; end it (or the second QOR APP) and start again.\n",
                                     m_szLogTag);
        }
        SetLastError(error);
        return FALSE;
    }
    m_hPipe = pipe;
    m_bConnected = 0;
    if (client == 0) {
        m_hThread = CreateThread(nullptr, 0, ConxThreadFunc, this, 0, nullptr);
        if (m_hThread == nullptr) {
            TheLogFile().WriteFormat(LOG_FATAL,
                                     "%s CNamedPipe::Create: CreateNamedPipe Failed with error code %d!\n",
                                     m_szLogTag, static_cast<int>(GetLastError()));
            return FALSE;
        }
    }
    return TRUE;
}

DWORD WINAPI CNamedPipe::ConxThreadFunc(LPVOID object) {
    // Nothing may leave a thread function: it would end the whole process (QOR APP with images
    // only in memory, or the imaging program hosting the source).
    return CatchAll<DWORD>(0, [object]() -> DWORD {
        auto* self = static_cast<CNamedPipe*>(object);
        if (self == nullptr) {
            TheLogFile().WriteFormat(LOG_WARN, "%s ConxThreadFunc: Unexpected Error!\n", "");
            return 0;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL connected = ConnectNamedPipe(self->m_hPipe, &overlapped);
        DWORD error = connected ? ERROR_SUCCESS : GetLastError();
        if (!connected && error == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            connected = GetOverlappedResult(self->m_hPipe, &overlapped, &ignored, TRUE);
            error = connected ? ERROR_SUCCESS : GetLastError();
        }
        if (overlapped.hEvent != nullptr) {
            CloseHandle(overlapped.hEvent);
        }
        if (connected || error == ERROR_PIPE_CONNECTED) {
            self->m_bConnected = 1;
            TheLogFile().WriteFormat(LOG_WARN, "%s ConxThreadFunc: Connection established!\n",
                                     self->m_szLogTag);
        } else {
            TheLogFile().WriteFormat(LOG_WARN,
                                     "%s ConxThreadFunc: ConnectNamedPipe failed! Error code = %d\n",
                                     self->m_szLogTag, static_cast<int>(error));
        }
        return 0;
    });
}

BOOL CNamedPipe::Close() {
    if (m_hPipe == nullptr) {
        TheLogFile().WriteFormat(LOG_WARN, "%s CNamedPipe::Close: Pipe handle is invalid!\n",
                                 m_szLogTag);
        return FALSE;
    }
    if (m_bClient == 0 && m_bConnected != 0) {
        m_bConnected = 0;
        if (!DisconnectNamedPipe(m_hPipe)) {
            TheLogFile().WriteFormat(
                LOG_WARN, "%s CNamedPipe::Close: DisconnectNamedPipe failed with error code = %d!\n",
                m_szLogTag, static_cast<int>(GetLastError()));
        }
    } else if (m_bClient == 0 && m_hThread != nullptr) {
        // The thread still waits for a client: become that client, so its wait ends.
        CNamedPipe dummy;
        dummy.Create(m_szPipeName, 1, L"Dummy");
        const DWORD wait = WaitForSingleObject(m_hThread, 1000);
        if (wait == WAIT_OBJECT_0) {
            TheLogFile().WriteFormat(LOG_WARN, "%s CNamedPipe::Close: Thread exited successfully.\n",
                                     m_szLogTag);
        } else if (wait == WAIT_TIMEOUT) {
            TheLogFile().WriteFormat(
                LOG_WARN, "%s CNamedPipe::Close: Waiting for thread to exit... Wait timed out!\n",
                m_szLogTag);
        } else {
            TheLogFile().WriteFormat(
                LOG_WARN,
                "%s CNamedPipe::Close: Unexpected Error WaitForSingleObject(). Error code = %d!\n",
                m_szLogTag, static_cast<int>(GetLastError()));
        }
        if (!CloseHandle(m_hThread)) {
            TheLogFile().WriteFormat(LOG_WARN,
                                     "%s CNamedPipe::Close: CloseHandle() failed with error code %d!\n",
                                     m_szLogTag, static_cast<int>(GetLastError()));
        }
        m_hThread = nullptr;
        dummy.Close();
    }
    if (m_hThread != nullptr) {
        // The connection thread of a connected end has finished: release it too, or every client
        // would leave one thread handle behind.
        WaitForSingleObject(m_hThread, 1000);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    const BOOL closed = CloseHandle(m_hPipe);
    if (!closed) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "%s CNamedPipe::Close: CloseHandle() failed with error code %d!\n",
                                 m_szLogTag, static_cast<int>(GetLastError()));
    }
    m_hPipe = nullptr;
    m_bConnected = 0;  // also after the dummy client's connection
    return closed;
}

BOOL CNamedPipe::Read(void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
    if (buffer == nullptr || bytesRead == nullptr || m_hPipe == nullptr) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "%s CNamedPipe::Read: Invalid pointers or pipe not open!\n",
                                 m_szLogTag);
        return FALSE;
    }
    return Transfer(Op::Read, buffer, bytesToRead, bytesRead);
}

BOOL CNamedPipe::Write(const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
    if (buffer == nullptr || bytesWritten == nullptr || m_hPipe == nullptr) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "%s CNamedPipe::Write: Invalid pointers or pipe not open!\n",
                                 m_szLogTag);
        return FALSE;
    }
    return Transfer(Op::Write, const_cast<void*>(buffer), bytesToWrite, bytesWritten);
}

BOOL CNamedPipe::Peek(DWORD* bytesAvailable) {
    if (bytesAvailable == nullptr || m_hPipe == nullptr) {
        return FALSE;
    }
    *bytesAvailable = 0;
    if (m_bClient == 0 && m_bConnected == 0) {
        return FALSE;
    }
    return PeekNamedPipe(m_hPipe, nullptr, 0, nullptr, bytesAvailable, nullptr);
}

BOOL CNamedPipe::Transfer(Op op, void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (m_bClient == 0 && m_bConnected == 0) {
        return FALSE;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = op == Op::Read ? ReadFile(m_hPipe, buffer, count, nullptr, &overlapped)
                             : WriteFile(m_hPipe, buffer, count, nullptr, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    bool timedOut = false;
    if (ok || error == ERROR_IO_PENDING) {
        if (!ok && overlapped.hEvent != nullptr &&
            WaitForSingleObject(overlapped.hEvent, m_nTimeLimitMs) == WAIT_TIMEOUT) {
            timedOut = CancelIoEx(m_hPipe, &overlapped) != FALSE;
        }
        ok = GetOverlappedResult(m_hPipe, &overlapped, done, TRUE);
        error = ok ? ERROR_SUCCESS : GetLastError();
        // A cancel that came too late leaves a finished transfer: that one counts.
        timedOut = timedOut && !ok;
        if (timedOut) {
            error = ERROR_TIMEOUT;
        }
    }
    if (overlapped.hEvent != nullptr) {
        CloseHandle(overlapped.hEvent);
    }
    if (ok) {
        return TRUE;
    }
    if (op == Op::Read) {
        TheLogFile().WriteFormat(LOG_WARN, "%s CNamedPipe::Read: ReadFile failed: Error Code:%d \n",
                                 m_szLogTag, static_cast<int>(error));
    } else {
        TheLogFile().WriteFormat(LOG_WARN, "%s CNamedPipe::Write: WriteFile failed: Error code:%d!\n",
                                 m_szLogTag, static_cast<int>(error));
    }
    WaitForNextClientIfGone(error, timedOut);
    SetLastError(error);
    return FALSE;
}

void CNamedPipe::WaitForNextClientIfGone(DWORD error, bool timedOut) {
    if (m_bClient != 0 || !(qor::pipe::PeerHasGone(error) || timedOut)) {
        return;
    }
    if (timedOut) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "%s CNamedPipe: the client stopped taking part in the exchange "
                                 "for %lu ms; it is disconnected.\n",
                                 m_szLogTag, static_cast<unsigned long>(m_nTimeLimitMs));
    }
    WaitForNextClient();
}

void CNamedPipe::WaitForNextClient() {
    // The instance is kept and waits again, so the name never disappears between two clients: a
    // client arriving then would find no pipe, and another program could take the name.
    if (m_bClient != 0 || m_hPipe == nullptr || m_bConnected == 0) {
        return;  // no client to let go
    }
    if (m_hThread != nullptr) {
        WaitForSingleObject(m_hThread, 1000);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    m_bConnected = 0;
    if (DisconnectNamedPipe(m_hPipe)) {
        m_hThread = CreateThread(nullptr, 0, ConxThreadFunc, this, 0, nullptr);
        if (m_hThread != nullptr) {
            return;
        }
    }
    TheLogFile().WriteFormat(LOG_WARN,
                             "%s CNamedPipe: the pipe could not wait for the next client (error "
                             "%d); it is created anew.\n",
                             m_szLogTag, static_cast<int>(GetLastError()));
    wchar_t name[MAX_PATH];
    CopyText(name, MAX_PATH, m_szPipeName);
    Close();
    Create(name, 0, L"");
}
