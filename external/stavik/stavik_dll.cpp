// Stavik.dll, the stand-in of the selected-image queue: it serves the images selected in QOR
// APP's store on disk ("Images" below "InstalPath", listed in "ImageInfo.ini"), oldest first, and
// removes each one it hands out (entry, then file), as QOR APP does when it sends an image.
//
// An image whose file cannot be read now (another program holds it open, access is denied, the
// read fails) keeps its entry and its file: it is not counted and not served, and a later
// session gets it. Entries whose files are gone are dropped, since nothing is lost with them.
// The information file is never rewritten in place: the new list goes to "ImageInfo.ini.new",
// which then replaces the old file whole.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/core/image_record.h"
#include "external/orbel/orbel.h"

namespace {

constexpr LONGLONG kLargestImageFile = 64LL * 1024 * 1024;

std::string g_folder;               // the store folder with its trailing backslash (ANSI)
std::vector<ImageInfoStuct> g_all;  // every entry of the information file, in its order
bool g_bLoaded = false;

std::wstring Widen(const std::string& ansi) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

std::string InfoFile() { return g_folder + "ImageInfo.ini"; }

std::wstring ImageFile(int32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "%.9d.bmp", static_cast<int>(number));
    return Widen(g_folder + name);
}

bool Load() {
    g_all.clear();
    g_folder.clear();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t folder[MAX_PATH] = {};
    DWORD size = sizeof folder - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = RegQueryValueExW(key, L"InstalPath", nullptr, &type, reinterpret_cast<BYTE*>(folder), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
    char ansi[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, folder, -1, ansi, sizeof ansi, nullptr, nullptr);
    g_folder = std::string(ansi) + "\\Images\\";
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    if (GetImageInfo(InfoFile().c_str(), &entries, &count) == 0) return false;
    for (int i = 0; i < count && entries != nullptr; ++i) g_all.push_back(entries[i]);
    if (entries != nullptr) FreeMem(entries);
    return true;
}

// The information file listing g_all, swapped in whole. False when the old file stays.
bool Rewrite() {
    std::vector<ImageDataStruct> records(g_all.size());
    std::vector<ImageDataStruct*> pointers;
    for (size_t i = 0; i < g_all.size(); ++i) {
        records[i] = ImageDataStruct{};
        records[i].stTime = g_all[i].stTime;
        records[i].bSelected = g_all[i].bSelected;
        pointers.push_back(&records[i]);
    }
    const std::string fresh = InfoFile() + ".new";
    const std::wstring freshWide = Widen(fresh), infoWide = Widen(InfoFile());
    // A new list from nothing: a leftover would lend it lines it never had.
    DeleteFileW(freshWide.c_str());
    if (StoreImageInfo(fresh.c_str(), pointers.empty() ? nullptr : pointers.data(), static_cast<int>(pointers.size())) == 0 ||
        !MoveFileExW(freshWide.c_str(), infoWide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(freshWide.c_str());
        return false;
    }
    return true;
}

enum class FileState { Read, Gone, Unreadable };

// The whole file, or why not. Other readers may share it; a writer or an exclusive holder makes
// it unreadable for now.
FileState ReadImageFile(const std::wstring& path, std::vector<uint8_t>* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileState::Gone : FileState::Unreadable;
    }
    FileState state = FileState::Unreadable;
    LARGE_INTEGER length{};
    if (GetFileSizeEx(file, &length) && length.QuadPart > 0 && length.QuadPart <= kLargestImageFile) {
        if (bytes == nullptr) {
            state = FileState::Read;
        } else {
            bytes->resize(static_cast<size_t>(length.QuadPart));
            DWORD read = 0;
            if (ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
                read == bytes->size()) {
                state = FileState::Read;
            }
        }
    }
    CloseHandle(file);
    return state;
}

int Servable() {
    int n = 0;
    for (const ImageInfoStuct& e : g_all) {
        n += e.bSelected != 0 && ReadImageFile(ImageFile(e.nFileNumber), nullptr) == FileState::Read;
    }
    return n;
}

}  // namespace

extern "C" {

int __stdcall InitializeImageQueue() {
    try {
        g_bLoaded = Load();
        return g_bLoaded ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// The selected images that can be served now.
int __stdcall GetTotNumOfSelImages() {
    try {
        if (!g_bLoaded) g_bLoaded = Load();
        return Servable();
    } catch (...) {
        return 0;
    }
}

// The oldest selected image that can be read. When none can (a file was taken by another
// program since it was counted), an empty record: the caller relies on a record while the count
// was above 0, treats size 0 as "no image", and every entry and file stays.
ImageDataStruct* __stdcall RemoveOldestSelImg() {
    try {
        ImageDataStruct* record = NewImageRecord();
        if (record == nullptr) return nullptr;
        bool listChanged = false;
        for (size_t i = 0; i < g_all.size();) {
            if (!g_all[i].bSelected) {
                ++i;
                continue;
            }
            const std::wstring path = ImageFile(g_all[i].nFileNumber);
            std::vector<uint8_t> bytes;
            const FileState state = ReadImageFile(path, &bytes);
            if (state == FileState::Unreadable) {
                ++i;
                continue;
            }
            listChanged = true;
            if (state == FileState::Gone) {
                g_all.erase(g_all.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            record->pImageData = static_cast<uint8_t*>(std::malloc(bytes.size()));
            if (record->pImageData == nullptr) break;
            std::copy(bytes.begin(), bytes.end(), record->pImageData);
            record->nImageSize = static_cast<int32_t>(bytes.size());
            record->stTime = g_all[i].stTime;
            record->bSelected = 1;
            g_all.erase(g_all.begin() + static_cast<std::ptrdiff_t>(i));
            // The entry goes first: a file without an entry is adopted again by QOR APP, an
            // entry without a file would be dropped.
            Rewrite();
            DeleteFileW(path.c_str());
            return record;
        }
        if (listChanged) Rewrite();
        return record;
    } catch (...) {
        return nullptr;
    }
}

int __stdcall FreeImg(ImageDataStruct* record) {
    if (record == nullptr) return 0;
    std::free(record->pImageData);
    std::free(record->pThumbnailData);
    std::free(record);
    return 1;
}

int __stdcall ClearImageQueue() {
    g_all.clear();
    g_bLoaded = false;
    return 1;
}

}  // extern "C"
