// A small stand-in for CQorApp around the pipe server: a real store in a fresh installation
// folder, the real server end, a message-only main window, and qorpipe.exe as the client in
// another process while this thread keeps handling the sent messages.
#pragma once

#include "app/image_queue.h"
#include "app/pipe_server.h"
#include "common/named_pipe.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class PipeTestHost : public CPipeServerHost {
public:
    explicit PipeTestHost(const wchar_t* name);
    ~PipeTestHost();

    CImageQueue& PipeImageQueue() override { return *m_pStore; }
    CNamedPipe& PipeChannel() override { return m_Pipe; }
    HWND PipeMainWindow() override { return m_hWnd; }
    bool PipeStopRequested() override { return m_bStop; }
    void OnPipeImageSent() override { ++m_nImagesSent; }
    void OnPipeStoreEmptied() override { ++m_nStoreEmptied; }

    // Pipe server and pipe thread, as Initialise starts them.
    bool Start();
    // As OnExitqor: stop flag, wait up to 2000 ms while handling messages, close the pipe.
    // The wait's result (WAIT_OBJECT_0 when the thread ended in time).
    DWORD Stop();

    // A stored image of width x height, its pixels from `seed`; returns its bitmap bytes.
    std::vector<uint8_t> AddImage(int width, int height, int seed, bool selected);
    std::vector<std::filesystem::path> ImageFiles() const;
    std::filesystem::path Folder() const { return m_folder; }
    // The store as the next start would load it from disk: the bitmaps in store order.
    std::vector<std::vector<uint8_t>> ReloadedImages() const;

    // Runs qorpipe.exe with `arguments` until it ends, handling this thread's messages; its exit
    // code, and its stdout parsed as JSON (null when it printed none).
    int RunClient(const std::wstring& arguments, nlohmann::json* output = nullptr);
    // Starts qorpipe.exe without waiting, its stdout into `out`; the caller ends it.
    HANDLE StartClient(const std::wstring& arguments, const std::filesystem::path& out = {});
    // Handles messages until `condition` holds or `milliseconds` passed.
    bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds);

    int ImagesSent() const { return m_nImagesSent; }
    int StoreEmptied() const { return m_nStoreEmptied; }

private:
    std::filesystem::path m_folder;
    std::unique_ptr<CImageQueue> m_pStore;
    CNamedPipe m_Pipe;
    HWND m_hWnd = nullptr;
    HANDLE m_hThread = nullptr;
    std::atomic<bool> m_bStop{false};
    int m_nImagesSent = 0;
    int m_nStoreEmptied = 0;
    int m_nNextMillisecond = 0;
};

// Opens the process log on a temporary file.
void OpenTestLog();
// The lines the process log received since the last call.
std::string NewLogMessages();
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& file);
