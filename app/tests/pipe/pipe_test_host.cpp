// PipeTestHost: the test stand-in for CQorApp's pipe half.
#include "app/tests/pipe/pipe_test_host.h"

#include "app/app_messages.h"
#include "app/core/gray_bitmap.h"
#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

const wchar_t kWindowClass[] = L"PipeTestHostWindow";

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == UM_IMAGE_EVENT) {
        auto* host = reinterpret_cast<PipeTestHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        return host->OnPipeImageEvent(wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::filesystem::path TempFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::filesystem::path(temp) /
           (std::wstring(L"qor-pipe-") + name + L"-" + std::to_wstring(GetCurrentProcessId()));
}

std::string LogPath() {
    return (std::filesystem::temp_directory_path() / "qor_pipe_server_test_log.txt").string();
}

}  // namespace

PipeTestHost::PipeTestHost(const wchar_t* name) : m_folder(TempFolder(name)) {
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
    std::filesystem::create_directories(m_folder);
    m_pStore = std::make_unique<CImageQueue>(m_folder.c_str());
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    m_hWnd = CreateWindowExW(0, kWindowClass, L"pipe test host", 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

PipeTestHost::~PipeTestHost() {
    if (m_hThread != nullptr) {
        Stop();
    }
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
    }
    m_pStore.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

bool PipeTestHost::Start() {
    if (!m_Pipe.Create(reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName), 0, L"")) {
        return false;
    }
    m_bStop = false;
    m_hThread = CreateThread(nullptr, 0, &PipeCommThreadFunc, static_cast<CPipeServerHost*>(this),
                             0, nullptr);
    return m_hThread != nullptr;
}

DWORD PipeTestHost::Stop() {
    m_bStop = true;
    const DWORD wait = WaitForPipeCommThread(m_hThread, 2000);
    m_Pipe.Close();
    WaitForSingleObject(m_hThread, 5000);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    return wait;
}

std::vector<uint8_t> PipeTestHost::AddImage(int width, int height, int seed, bool selected) {
    std::vector<int32_t> pixels(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<int32_t>((i * 7 + static_cast<size_t>(seed) * 131) % 4096);
    }
    ImageDataStruct* record = NewImageRecord();
    MakeGray8Bitmap(pixels.data(), static_cast<int32_t>(pixels.size()), width, height,
                    &record->pImageData, record);
    MakeThumbnail(record->pImageData, &record->pThumbnailData, &record->nThumbnailSize);
    record->bSelected = selected ? 1 : 0;
    // Distinct times of day, so every image has its own file.
    const int ms = m_nNextMillisecond++;
    record->stTime = {2026, 12, 1, 7, 10, static_cast<uint16_t>(ms / 60000),
                      static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
    std::vector<uint8_t> bytes(record->pImageData, record->pImageData + record->nImageSize);
    m_pStore->Add(record);
    return bytes;
}

std::vector<std::filesystem::path> PipeTestHost::ImageFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder / L"Images")) {
        if (entry.path().extension() == L".bmp") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::vector<uint8_t>> PipeTestHost::ReloadedImages() const {
    CImageQueue reloaded(m_folder.c_str());
    std::vector<std::vector<uint8_t>> images;
    for (int i = 0; i < reloaded.GetCount(); ++i) {
        const ImageDataStruct* record = reloaded.GetAt(i);
        images.emplace_back(record->pImageData, record->pImageData + record->nImageSize);
    }
    reloaded.DeleteAll(FALSE);
    return images;
}

bool PipeTestHost::PumpUntil(const std::function<bool()>& condition, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= milliseconds) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    return true;
}

HANDLE PipeTestHost::StartClient(const std::wstring& arguments, const std::filesystem::path& out) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::filesystem::path tool = std::filesystem::path(self).parent_path() / L"qorpipe.exe";
    std::wstring command = L"\"" + tool.wstring() + L"\" " + arguments;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW((out.empty() ? m_folder / L"client.json" : out).c_str(),
                                GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(output);
    if (!started) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

int PipeTestHost::RunClient(const std::wstring& arguments, nlohmann::json* output) {
    static int run = 0;
    const auto out = m_folder / (L"client-" + std::to_wstring(++run) + L".json");
    HANDLE process = StartClient(arguments, out);
    if (process == nullptr) {
        return -1;
    }
    PumpUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, 120000);
    DWORD exitCode = 0;
    GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    if (output != nullptr) {
        std::ifstream in(out);
        *output = nlohmann::json::parse(in, nullptr, false);
    }
    return static_cast<int>(exitCode);
}

std::string NewLogMessages() {
    static size_t seen = 0;
    std::ifstream in(LogPath());
    std::string messages;
    size_t index = 0;
    for (std::string line; std::getline(in, line); ++index) {
        messages += index >= seen ? line + "\n" : "";
    }
    seen = index;
    return messages;
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void OpenTestLog() { TheLogFile().Open(LogPath().c_str(), LOG_INFO); }
