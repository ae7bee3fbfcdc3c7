// CNamedPipe: one end of a byte-mode named pipe, the server end that QOR APP offers or the client
// end the data source and tools open. A server end waits for its client on a connection thread,
// waits afresh when its client has gone, and can be closed while still waiting. Every event
// goes to the process's log with the object's tag at the head of the line.
//
// Read and Write are synchronous for the caller. Inside they run overlapped so that a time limit
// (SetTimeLimit) can end a transfer that a silent peer would otherwise hold up for ever.
#pragma once

#include <windows.h>

#include <atomic>

class CNamedPipe {
public:
    CNamedPipe() = default;
    ~CNamedPipe();
    CNamedPipe(const CNamedPipe&) = delete;
    CNamedPipe& operator=(const CNamedPipe&) = delete;

    // client 0: server end (refuses remote clients and a name another program already serves);
    // client 1: client end. FALSE when already open, for a null name or tag, a flag other than 0
    // or 1, or a failed Windows call (logged).
    BOOL Create(const wchar_t* name, int client, const wchar_t* tag);
    BOOL Close();
    // One ReadFile or WriteFile. A server end still waiting for its client answers FALSE at once
    // and logs nothing. A server end whose client has gone (or ran out of time) lets it go and
    // waits for the next one.
    BOOL Read(void* buffer, DWORD bytesToRead, DWORD* bytesRead);
    BOOL Write(const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten);
    // Bytes waiting to be read, without waiting for any: lets a server thread poll so that it
    // never sits in a read it cannot leave. Logs nothing and re-creates nothing: after a failed
    // look, a Read fails at once with the reason and handles it.
    BOOL Peek(DWORD* bytesAvailable);

    // Longest wait of one Read or Write in ms (INFINITE, the default, waits as long as it takes).
    // A transfer that runs out fails with ERROR_TIMEOUT; a server end then drops its client,
    // whose stream would be out of step.
    void SetTimeLimit(DWORD milliseconds) { m_nTimeLimitMs = milliseconds; }

    // Server end: lets the connected client go (it sees a broken pipe) and waits for the next.
    void DropClient() { WaitForNextClient(); }

    bool IsOpen() const { return m_hPipe != nullptr; }
    bool IsConnected() const { return m_bConnected != 0; }
    // The pipe handle, for questions about the other end (who serves it); null while closed.
    HANDLE Handle() const { return m_hPipe; }

    static DWORD WINAPI ConxThreadFunc(LPVOID object);

private:
    enum class Op { Read, Write };
    BOOL Transfer(Op op, void* buffer, DWORD count, DWORD* done);
    // After a failed transfer on a server end: a departed client makes room for the next one.
    void WaitForNextClientIfGone(DWORD error, bool timedOut);
    void WaitForNextClient();

    HANDLE m_hPipe = nullptr;
    int m_bClient = 0;
    HANDLE m_hThread = nullptr;
    std::atomic<int> m_bConnected{0};
    wchar_t m_szPipeName[MAX_PATH] = {};
    wchar_t m_szTag[32] = {};
    char m_szLogTag[32] = {};
    DWORD m_nTimeLimitMs = INFINITE;
};
