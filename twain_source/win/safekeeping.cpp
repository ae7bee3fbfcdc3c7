// A copy taken out of QOR APP's store (by the disk queue library, or by an earlier QOR APP that
// cannot lend) is the only copy of that image. It is written back into the store's folder the
// moment it is taken, as a file of its own, and that file is removed only once the imaging program
// has the image: a program killed in between, a cancel or a failed transfer leave the image where
// QOR APP adopts it at its next start.
#include <windows.h>

#include <string>

#include "app/core/image_file_name.h"
#include "common/core/log_file.h"
#include "twain_source/win/app_start.h"
#include "twain_source/win/safekeeping.h"

namespace {

std::wstring g_safekeptPath;  // the file of the taken image in hand, until it is delivered

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

ImageTime Now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ImageTime{now.wYear, now.wMonth, now.wDayOfWeek, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace

bool SafekeepTakenImage(const uint8_t* data, size_t size, const ImageTime* arrival) {
    g_safekeptPath.clear();
    wchar_t installed[MAX_PATH] = {};
    if (data == nullptr || size == 0 || !ReadInstalPath(installed, MAX_PATH)) return false;
    const std::wstring folder = std::wstring(installed) + L"\\Images\\";
    // Named as QOR APP names its files: under its own time of arrival where that name is free, so
    // that it keeps its place among the images, else the next free millisecond.
    ImageTime time = arrival != nullptr ? *arrival : Now();
    for (int tries = 0; tries < 1000; ++tries, AdvanceOneMillisecond(time)) {
        const std::wstring path = folder + Wide(ImageFileName(time));
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        // Written beside its name first, so that a half-written file is never taken for an image.
        const std::wstring part = path + L".part";
        if (!WriteNewFile(part, data, size)) break;
        if (MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            TheLogFile().WriteFormat(LOG_INFO, "SafekeepTakenImage: the image taken out of the store is kept as %s until "
                                               "the imaging program has it.\n",
                                     ImageFileName(time).c_str());
            g_safekeptPath = path;
            return true;
        }
        DeleteFileW(part.c_str());
    }
    TheLogFile().Write(LOG_FATAL, "SafekeepTakenImage: the image taken out of the store could not be written back into "
                                  "its Images folder; it is lost if the imaging program does not get it. Free disk space "
                                  "or make the folder writable.\n");
    return false;
}

void TakenImageDelivered() {
    if (g_safekeptPath.empty()) return;
    if (!DeleteFileW(g_safekeptPath.c_str())) {
        TheLogFile().Write(LOG_WARN, "TakenImageDelivered: the kept copy of the delivered image could not be deleted; QOR "
                                     "APP offers it once more at its next start. Delete it in \"View Images\".\n");
    }
    g_safekeptPath.clear();
}

void ForgetTakenImage() { g_safekeptPath.clear(); }
