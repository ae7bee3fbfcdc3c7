// The link to QOR APP: the pipe client, starting the program when the pipe is missing, fetching
// images one at a time, the Stavik queue when the program cannot be started, and the status line.
// Waiting is done by a dialog timer, never by sleeping on the imaging program's thread.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"
#include "common/named_pipe.h"
#include "common/core/image_record.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/win/qorsrc.h"

uint8_t* g_pbyImgData = nullptr;
int g_nAllocatedBufSize = 0;
int g_nNextImageSize = 0;
int g_nPendingImages = 0;
int g_nImagesTransferred = 0;
int g_bDiskQueue = 0;
bool g_bImageOwed = false;

namespace {

constexpr UINT_PTR kLinkTimer = 1;
constexpr UINT kPollMs = 200;             // the state-5 wait asks QOR APP at most this often
constexpr ULONGLONG kStartWaitMs = 5000;  // time QOR APP gets to open its pipe
constexpr DWORD kReadLimitMs = 5000;      // no single pipe read waits longer

CNamedPipe g_pipe;
size_t g_nBufferCapacity = 0;
ULONGLONG g_nStartDeadline = 0;  // while QOR APP starts: when to stop waiting for its pipe
bool g_bStartReported = false;

const wchar_t* PipeName() { return reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName); }

bool OpenPipe() {
    if (g_pipe.IsOpen()) return true;
    if (!g_pipe.Create(PipeName(), 1, L"")) return false;
    g_pipe.SetTimeLimit(kReadLimitMs);
    return true;
}

// A failed exchange leaves the pipe in an unknown position: start again with a new connection.
void DropPipe() {
    if (g_pipe.IsOpen()) g_pipe.Close();
}

bool GrowBuffer(size_t size) {
    if (g_pbyImgData != nullptr && size <= g_nBufferCapacity) return true;
    void* grown = std::realloc(g_pbyImgData, size);
    if (grown == nullptr) {
        std::free(g_pbyImgData);
        g_pbyImgData = nullptr;
        g_nBufferCapacity = 0;
        g_nAllocatedBufSize = 0;
        return false;
    }
    g_pbyImgData = static_cast<uint8_t*>(grown);
    g_nBufferCapacity = size;
    return true;
}

// The Stavik queue library, beside the source or on the search path.
struct StavikApi {
    HMODULE module = nullptr;
    int(__stdcall* InitializeImageQueue)() = nullptr;
    int(__stdcall* GetTotNumOfSelImages)() = nullptr;
    ImageDataStruct*(__stdcall* RemoveOldestSelImg)() = nullptr;
    int(__stdcall* FreeImg)(ImageDataStruct*) = nullptr;
    int(__stdcall* ClearImageQueue)() = nullptr;
};

template <typename T>
void Resolve(HMODULE module, const char* name, T& out) {
    FARPROC proc = GetProcAddress(module, name);
    static_assert(sizeof out == sizeof proc);
    std::memcpy(&out, &proc, sizeof out);
}

StavikApi& Stavik() {
    static StavikApi api;
    if (api.module == nullptr) {
        wchar_t path[MAX_PATH] = {};
        const DWORD n = GetModuleFileNameW(g_hInstance, path, MAX_PATH);
        if (wchar_t* slash = n ? wcsrchr(path, L'\\') : nullptr) {
            wcscpy(slash + 1, L"Stavik.dll");
            // Its own imports (Orbel.dll) lie beside it too.
            api.module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
        if (api.module == nullptr) api.module = LoadLibraryW(L"Stavik.dll");
        if (api.module == nullptr) return api;
        Resolve(api.module, "InitializeImageQueue", api.InitializeImageQueue);
        Resolve(api.module, "GetTotNumOfSelImages", api.GetTotNumOfSelImages);
        Resolve(api.module, "RemoveOldestSelImg", api.RemoveOldestSelImg);
        Resolve(api.module, "FreeImg", api.FreeImg);
        Resolve(api.module, "ClearImageQueue", api.ClearImageQueue);
        if (!api.InitializeImageQueue || !api.GetTotNumOfSelImages || !api.RemoveOldestSelImg || !api.FreeImg ||
            !api.ClearImageQueue) {
            TheLogFile().Write(LOG_WARN, "Stavik: the queue library lacks an entry point; reinstall the QOR driver suite.\n");
            FreeLibrary(api.module);
            api = StavikApi{};
        }
    }
    return api;
}

// QOR APP from "InstalPath", with that folder as the current one (also for the program).
bool StartApplication() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        TheLogFile().Write(LOG_WARN, "OnInitDialog: RegOpenKeyEx() failed!\n");
        ShowInternalError();
        return false;
    }
    wchar_t folder[100] = {};
    DWORD size = sizeof folder - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, L"InstalPath", nullptr, &type, reinterpret_cast<BYTE*>(folder), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || folder[0] == 0) return false;
    folder[99] = 0;
    SetCurrentDirectoryW(folder);
    if (folder[1] == L':') {
        const wchar_t drive[] = {L'=', folder[0], L':', 0};
        SetEnvironmentVariableW(drive, folder);
    }
    wchar_t program[MAX_PATH];
    swprintf(program, MAX_PATH, L"%ls\\QOR APP.exe", folder);
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    TheLogFile().Write(LOG_WARN, "OnInitDialog: Invoke QOR APP from QOR SRC\n");
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Announce the next image (state 6). It leaves QOR APP only when a transfer asks for it, so an
// imaging program that stops early loses nothing: the image stays in the store.
void Announce(int pending) {
    g_nPendingImages = g_nImagesTransferred + pending;
    g_nAllocatedBufSize = 0;
    g_bImageOwed = true;
    NotifyXferReady();
}

}  // namespace

int TakeAnnouncedImage() {
    if (!g_bImageOwed) return g_pbyImgData != nullptr && g_nAllocatedBufSize > 0;
    g_bImageOwed = false;
    if (g_bDiskQueue) return PendingOnDisk() > 0 ? GetDiskImage() : 0;
    // Ask again: the oldest selected image may have changed since it was announced.
    return CheckPendingImages() > 0 ? GetImage() : 0;
}

int PendingOnDisk() {
    StavikApi& api = Stavik();
    return api.module ? api.GetTotNumOfSelImages() : 0;
}

void ClearDiskQueue() {
    StavikApi& api = Stavik();
    if (api.module) api.ClearImageQueue();
    g_bDiskQueue = 0;
}

BOOL OnInitDialog(HWND dialog) {
    g_hDialog = dialog;
    std::free(g_pbyImgData);
    g_pbyImgData = nullptr;
    g_nBufferCapacity = 0;
    g_nAllocatedBufSize = g_nNextImageSize = g_nImagesTransferred = g_nPendingImages = 0;
    g_nStartDeadline = 0;
    g_bStartReported = false;
    g_bImageOwed = false;
    wchar_t text[200];
    ReadString(128, text, 200);
    SetDlgItemTextW(dialog, IDCANCEL, text);
    m_nState = qor::twain::kState5;

    if (OpenPipe()) {
        const int pending = CheckPendingImages();
        if (pending > 0) Announce(pending);
    } else {
        TheLogFile().Write(LOG_WARN, "OnInitDialog: Named Pipe creation failed!\n");
        if (StartApplication()) {
            // The pipe is tried again by the timer.
            g_nStartDeadline = GetTickCount64() + kStartWaitMs;
        } else if (StavikApi& api = Stavik(); api.module != nullptr) {
            g_bDiskQueue = 1;
            api.InitializeImageQueue();
            const int pending = api.GetTotNumOfSelImages();
            if (pending > 0) Announce(pending);
        }
    }
    const bool fetched = m_nState == qor::twain::kState6;
    ShowProgress(dialog, fetched ? g_nPendingImages : 0, g_nImagesTransferred);
    SetTimer(dialog, kLinkTimer, kPollMs, nullptr);
    return fetched;
}

void OnLinkTimer(HWND dialog) {
    // Only the state-5 wait asks for images; transfers fetch their own.
    if (m_nState != qor::twain::kState5) return;
    int pending = 0;
    if (g_bDiskQueue) {
        pending = PendingOnDisk();
    } else if (OpenPipe()) {
        g_nStartDeadline = 0;
        pending = CheckPendingImages();
    } else if (g_nStartDeadline != 0 && GetTickCount64() > g_nStartDeadline && !g_bStartReported) {
        g_bStartReported = true;
        TheLogFile().Write(LOG_WARN, "OnInitDialog: Named Pipe creation failed!:  nRetryCount:\n");
    }
    if (pending > 0) {
        Announce(pending);
        ShowProgress(dialog, g_nPendingImages, g_nImagesTransferred);
    }
}

BOOL OnClose() {
    if (g_hDialog != nullptr) KillTimer(g_hDialog, kLinkTimer);
    BOOL closed = FALSE;
    if (g_pipe.IsOpen()) closed = g_pipe.Close();
    if (!closed) TheLogFile().Write(LOG_WARN, "OnClose: CNamedPipe::Close() Failed!\n");
    if (g_pbyImgData != nullptr) {
        std::free(g_pbyImgData);
        g_pbyImgData = nullptr;
        g_nBufferCapacity = 0;
        TheLogFile().Write(LOG_WARN, "OnClose: free g_pbyImgData \n");
    }
    g_nNextImageSize = g_nAllocatedBufSize = g_nImagesTransferred = g_nPendingImages = 0;
    g_bImageOwed = false;
    return closed;
}

void ShowProgress(HWND dialog, int total, int transferred) {
    if (dialog == nullptr) return;
    wchar_t text[200] = {};
    if (total != 0) {
        wchar_t format[200];
        ReadString(133, format, 200);
        swprintf(text, 200, format, transferred, total > transferred ? total : transferred);
    } else {
        ReadString(134, text, 200);
    }
    SetDlgItemTextW(dialog, kStatusTextId, text);
}

int CheckPendingImages() {
    if (!g_pipe.IsOpen()) return 0;
    const uint8_t command = qor::pipe::CHECK_PENDING_IMAGES;
    DWORD written = 0;
    if (!g_pipe.Write(&command, 1, &written) || written != 1) {
        TheLogFile().Write(LOG_WARN, "CheckPendingImages: CNamedPipe::Write() Failed!\n");
        DropPipe();
        return 0;
    }
    uint8_t reply[qor::pipe::kPendingReplyBytes] = {};
    DWORD read = 0, have = 0;
    while (have < sizeof reply) {
        if (!g_pipe.Read(reply + have, sizeof reply - have, &read) || read == 0) break;
        have += read;
    }
    qor::pipe::PendingImages pending;
    const qor::pipe::ReplyCheck check = qor::pipe::DecodePendingImages(reply, have, &pending);
    switch (check) {
        case qor::pipe::ReplyCheck::Ok:
            g_nNextImageSize = pending.nImageSize;
            TheLogFile().WriteFormat(LOG_INFO, "CheckPendingImages: Pending Images = %d.\n", static_cast<int>(pending.nPendingCount));
            return pending.nPendingCount;
        case qor::pipe::ReplyCheck::NoImages: g_nNextImageSize = 0; return 0;
        case qor::pipe::ReplyCheck::Short:
            TheLogFile().Write(LOG_WARN, "CheckPendingImages: CNamedPipe::Read() Failed!\n");
            DropPipe();
            return 0;
        default:
            g_nNextImageSize = 0;
            TheLogFile().WriteFormat(LOG_WARN, "CheckPendingImages: Pending Images = %d Image Size = %d!\n",
                                     static_cast<int>(pending.nPendingCount), static_cast<int>(pending.nImageSize));
            ShowInternalError();
            return 0;
    }
}

int GetImage() {
    if (g_nNextImageSize <= 0 || g_nNextImageSize > qor::pipe::kMaxImageBytes) {
        TheLogFile().Write(LOG_WARN, "GetImage: Invalid Image Size!\n");
        return 0;
    }
    const auto size = static_cast<size_t>(g_nNextImageSize);
    if (!GrowBuffer(size)) {
        TheLogFile().Write(LOG_FATAL, "GetImage: realloc() failed!\n");
        return 0;
    }
    g_nAllocatedBufSize = 0;  // nothing valid until the whole image is in
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc Before GET_IMAGES command\n");
    const uint8_t command = qor::pipe::GET_IMAGES;
    DWORD written = 0;
    const BOOL sent = g_pipe.Write(&command, 1, &written);
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc After GET_IMAGES command\n");
    if (!sent || written != 1) {
        TheLogFile().Write(LOG_WARN, "GetImage: CNamedPipe::Write() Failed!\n");
        DropPipe();
        return 0;
    }
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc Before Reading new Image data\n");
    // Each read waits at most kReadLimitMs: an image that stops coming fails the fetch (it stays
    // in QOR APP's store) instead of hanging the imaging program.
    size_t have = 0;
    BOOL ok = TRUE;
    while (have < size) {
        DWORD read = 0;
        ok = g_pipe.Read(g_pbyImgData + have, static_cast<DWORD>(size - have), &read);
        if (!ok || read == 0) break;
        have += read;
    }
    TheLogFile().WriteFormat(LOG_INFO, "GetImage: ReadImageThreadFunc After Reading new Image data Return = %d Bytes Read = %d\n",
                             static_cast<int>(ok), static_cast<int>(have));
    if (qor::pipe::CheckImageReply(g_pbyImgData, have, g_nNextImageSize) != qor::pipe::ImageCheck::Ok) {
        TheLogFile().Write(LOG_WARN, "GetImage: CNamedPipe::Read() Failed!\n");
        DropPipe();
        return 0;
    }
    g_nAllocatedBufSize = g_nNextImageSize;
    TheLogFile().Write(LOG_INFO, "GetImage: ReadImageThreadFunc After Reading new Image data\n");
    ++g_nImagesTransferred;
    return 1;
}

int GetDiskImage() {
    StavikApi& api = Stavik();
    if (api.module == nullptr) return 0;
    ImageDataStruct* record = api.RemoveOldestSelImg();
    if (record == nullptr || record->nImageSize <= 0 || record->nImageSize > qor::pipe::kMaxImageBytes ||
        record->pImageData == nullptr) {
        TheLogFile().Write(LOG_WARN, "GetDiskImage: Invalid Image Size!\n");
        if (record) api.FreeImg(record);
        return 0;
    }
    if (!GrowBuffer(static_cast<size_t>(record->nImageSize))) {
        TheLogFile().Write(LOG_FATAL, "GetDiskImage: g_pbyImgData = NULL \n");
        api.FreeImg(record);
        return 0;
    }
    std::memcpy(g_pbyImgData, record->pImageData, static_cast<size_t>(record->nImageSize));
    g_nAllocatedBufSize = record->nImageSize;
    ++g_nImagesTransferred;
    TheLogFile().WriteFormat(LOG_INFO, "GetDiskImage: g_pbyImgData!=NULL: ImageTransferred Count %d\n", g_nImagesTransferred);
    api.FreeImg(record);
    return 1;
}
