// An image the queue library gave up when it was read (QOR APP could not be started), and that
// the imaging program did not get, goes back into the store's folder as a file of its own. The
// library cannot take an image back; QOR APP adopts unlisted image files when it starts, so the
// image is offered again instead of being lost with the source's memory.
#include <windows.h>

#include <string>

#include "app/core/image_file_name.h"
#include "common/core/log_file.h"
#include "twain_source/win/qorsrc.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Writes `size` bytes to `path` and flushes them; the file must not exist yet.
bool WriteNewFile(const std::wstring& path, const uint8_t* data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size &&
                    FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

}  // namespace

bool ReturnImageToStore(const uint8_t* data, size_t size) {
    wchar_t installed[MAX_PATH] = {};
    if (data == nullptr || size == 0 || !ReadInstalPath(installed, MAX_PATH)) return false;
    const std::wstring folder = std::wstring(installed) + L"\\Images\\";
    // Named as QOR APP names its files, after the time of day; the next free millisecond.
    SYSTEMTIME now;
    GetLocalTime(&now);
    ImageTime time{now.wYear, now.wMonth, now.wDayOfWeek, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    for (int tries = 0; tries < 1000; ++tries, AdvanceOneMillisecond(time)) {
        const std::wstring path = folder + Wide(ImageFileName(time));
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        // Written beside its name first, so that a half-written file is never taken for an image.
        const std::wstring part = path + L".part";
        if (!WriteNewFile(part, data, size)) break;
        if (MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            TheLogFile().WriteFormat(LOG_WARN, "ReturnImageToStore: an image not transferred went back into the store as %s\n",
                                     ImageFileName(time).c_str());
            return true;
        }
        DeleteFileW(part.c_str());
    }
    TheLogFile().Write(LOG_FATAL, "ReturnImageToStore: the image the imaging program did not get could not be "
                                  "written back into the store's Images folder and is lost; free disk space or make "
                                  "the folder writable.\n");
    return false;
}
