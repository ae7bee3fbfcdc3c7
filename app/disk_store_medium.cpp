#include "app/disk_store_medium.h"

#include <cstdio>
#include <cstdlib>

#include "app/core/image_file_name.h"
#include "app/fault_point.h"
#include "external/orbel/orbel.h"

namespace {

// Store files are bitmaps of a few megabytes at most; anything larger is not one of ours.
constexpr LONGLONG kLargestImageFile = 64LL << 20;

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle() {
        if (m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return m_h; }
    bool ok() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

constexpr DWORD kReplaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

std::wstring Widen(const std::string& ansi) {
    if (ansi.empty()) {
        return {};
    }
    wchar_t wide[MAX_PATH + 8] = {};
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, MAX_PATH + 8);
    return n > 0 ? std::wstring(wide) : std::wstring();
}

std::string Narrow(const std::wstring& wide) {
    char text[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text, sizeof text, nullptr, nullptr);
    return text;
}

LONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

DiskStoreMedium::DiskStoreMedium(std::wstring imageFolder, std::string infoFileAnsi)
    : m_imageFolder(std::move(imageFolder)), m_infoFileAnsi(std::move(infoFileAnsi)) {
    if (!m_infoFileAnsi.empty()) {
        m_newInfoFileAnsi = m_infoFileAnsi + ".new";
        m_infoFile = Widen(m_infoFileAnsi);
        m_newInfoFile = Widen(m_newInfoFileAnsi);
    }
}

std::wstring DiskStoreMedium::PathOf(const std::string& name) const {
    // Without a folder there is no file: never fall back to the root of the drive.
    return m_imageFolder.empty() ? std::wstring()
                                 : m_imageFolder + L"\\" + std::wstring(name.begin(), name.end());
}

bool DiskStoreMedium::ReadInfo(std::vector<ImageInfoStuct>& entries) {
    ImageInfoStuct* array = nullptr;
    int count = 0;
    if (m_infoFileAnsi.empty() || GetImageInfo(m_infoFileAnsi.c_str(), &array, &count) == 0) {
        return false;
    }
    if (array != nullptr && count > 0) {
        entries.assign(array, array + count);
    }
    FreeMem(array);
    return true;
}

int DiskStoreMedium::WriteInfo(ImageDataStruct** records, int count) {
    if (m_infoFile.empty() || m_newInfoFile.empty()) {
        return 0;
    }
    // A new list from nothing: a leftover would lend the new one lines it never had.
    DeleteFileW(m_newInfoFile.c_str());
    if (StoreImageInfo(m_newInfoFileAnsi.c_str(), records, count) == 0) {
        DeleteFileW(m_newInfoFile.c_str());
        return 0;
    }
    fault::Reach(fault::kInfoSwap);
    if (!MoveFileExW(m_newInfoFile.c_str(), m_infoFile.c_str(), kReplaceFlags)) {
        DeleteFileW(m_newInfoFile.c_str());
        return 0;
    }
    return 1;
}

uint8_t* DiskStoreMedium::ReadImageFile(const std::string& name, size_t* size) {
    const std::wstring path = PathOf(name);
    if (path.empty()) {
        return nullptr;
    }
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER length{};
    if (!file.ok() || !GetFileSizeEx(file.get(), &length) || length.QuadPart <= 0 ||
        length.QuadPart > kLargestImageFile) {
        return nullptr;
    }
    const DWORD wanted = static_cast<DWORD>(length.QuadPart);
    auto* bytes = static_cast<uint8_t*>(std::malloc(wanted));
    DWORD read = 0;
    if (bytes == nullptr || !ReadFile(file.get(), bytes, wanted, &read, nullptr) ||
        read != wanted) {
        std::free(bytes);
        return nullptr;
    }
    *size = wanted;
    return bytes;
}

bool DiskStoreMedium::WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) {
    const std::wstring path = PathOf(name);
    if (path.empty() || size > MAXDWORD) {
        return false;
    }
    const std::wstring temporary = PathOf(name + kUnfinishedFileSuffix);
    bool complete = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) {
            return false;
        }
        // In two halves, so that a test can stop the program between them.
        const DWORD first = static_cast<DWORD>(size / 2);
        const DWORD second = static_cast<DWORD>(size) - first;
        DWORD written = 0;
        complete = WriteFile(file.get(), bytes, first, &written, nullptr) && written == first;
        if (complete) {
            fault::Reach(fault::kStoreWrite);
            complete = WriteFile(file.get(), bytes + first, second, &written, nullptr) &&
                       written == second && FlushFileBuffers(file.get());
        }
    }
    // Only a complete file takes the image's name.
    if (!complete || !MoveFileExW(temporary.c_str(), path.c_str(), kReplaceFlags)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

StoreMedium::Removal DiskStoreMedium::DeleteImageFile(const std::string& name) {
    const std::wstring path = PathOf(name);
    if (path.empty()) {
        return Removal::Missing;
    }
    if (DeleteFileW(path.c_str())) {
        // Wine unlinks when the last handle closes and reports success even where the unlink
        // then fails (a read-only file system): only a file that is gone counts as deleted.
        return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? Removal::Deleted
                                                                         : Removal::Failed;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Removal::Missing
                                                                          : Removal::Failed;
}

std::vector<StoreMedium::StoredFile> DiskStoreMedium::ListImageFiles() {
    std::vector<StoredFile> files;
    if (m_imageFolder.empty()) {
        return files;
    }
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((m_imageFolder + L"\\?????????.bmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        const std::wstring wide(found.cFileName);
        if (wide.size() != 13) {
            continue;
        }
        StoredFile file;
        file.name.assign(wide.begin(), wide.end());
        FILETIME local{};
        SYSTEMTIME changed{};
        if (FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) &&
            FileTimeToSystemTime(&local, &changed)) {
            file.date = {changed.wYear, changed.wMonth, changed.wDayOfWeek, changed.wDay,
                         0, 0, 0, 0};
        }
        files.push_back(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

std::vector<std::string> DiskStoreMedium::RecoverFromInterruption() {
    std::vector<std::string> report;
    char line[MAX_PATH * 3 + 160];
    if (!m_imageFolder.empty()) {
        WIN32_FIND_DATAW found{};
        const std::wstring pattern = m_imageFolder + L"\\*.bmp" +
                                     std::wstring(kUnfinishedFileSuffix,
                                                  kUnfinishedFileSuffix + sizeof kUnfinishedFileSuffix - 1);
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring path = m_imageFolder + L"\\" + found.cFileName;
                const bool deleted = DeleteFileW(path.c_str()) != 0;
                std::snprintf(line, sizeof line,
                              "CImageQueue: Load: %s is an image file whose writing was cut "
                              "short; %s.\n",
                              Narrow(found.cFileName).c_str(),
                              deleted ? "it is deleted" : "it could not be deleted, delete it by hand");
                report.push_back(line);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    if (m_newInfoFile.empty() || GetFileAttributesW(m_newInfoFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return report;
    }
    // The swap is one rename, so the old list is whole whenever it exists; only a list lost
    // some other way (removed, emptied) is taken from the leftover.
    const LONGLONG oldSize = FileSize(m_infoFile);
    if (oldSize <= 0 && FileSize(m_newInfoFile) > 0 &&
        MoveFileExW(m_newInfoFile.c_str(), m_infoFile.c_str(), kReplaceFlags)) {
        report.push_back("CImageQueue: Load: ImageInfo.ini was missing or empty; the leftover "
                         "ImageInfo.ini.new is used instead.\n");
    } else {
        DeleteFileW(m_newInfoFile.c_str());
        report.push_back("CImageQueue: Load: a leftover ImageInfo.ini.new from an interrupted "
                         "write is deleted; ImageInfo.ini is kept.\n");
    }
    return report;
}

namespace {

constexpr wchar_t kDeliveredKey[] = L"SOFTWARE\\Halvex Imaging\\QOR\\Delivered Images";

}  // namespace

void DiskStoreMedium::RememberDelivered(const std::string& name, uint32_t crc) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD value = crc;
    RegSetValueExW(key, Widen(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

std::vector<std::pair<std::string, uint32_t>> DiskStoreMedium::DeliveredImages() {
    std::vector<std::pair<std::string, uint32_t>> delivered;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return delivered;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[64] = {};
        DWORD nameLength = 64;
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        const LONG rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(&value), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) continue;
        // Only names of store files (ASCII digits and ".bmp") are ever written here.
        std::string narrow;
        for (const wchar_t* c = name; *c != 0; ++c) narrow += static_cast<char>(*c & 0x7F);
        if (FileNumberOfName(narrow) >= 0) delivered.emplace_back(narrow, value);
    }
    RegCloseKey(key);
    return delivered;
}

void DiskStoreMedium::ForgetDelivered(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, Widen(name).c_str());
    RegCloseKey(key);
}
