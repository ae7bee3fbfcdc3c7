#include "app/disk_store_medium.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

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

using ReadResult = StoreMedium::ReadResult;

// The whole file into a std::malloc'd buffer. Missing also for an empty file and one larger
// than `largest`, which no store file is.
ReadResult ReadWholeFile(const std::wstring& path, LONGLONG largest, uint8_t** bytes,
                         size_t* size) {
    *bytes = nullptr;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? ReadResult::Missing
                   : ReadResult::Unreadable;
    }
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.get(), &length)) {
        return ReadResult::Unreadable;
    }
    if (length.QuadPart <= 0 || length.QuadPart > largest) {
        return ReadResult::Missing;
    }
    const DWORD wanted = static_cast<DWORD>(length.QuadPart);
    auto* buffer = static_cast<uint8_t*>(std::malloc(wanted));
    DWORD read = 0;
    if (buffer == nullptr || !ReadFile(file.get(), buffer, wanted, &read, nullptr) ||
        read != wanted) {
        std::free(buffer);
        return ReadResult::Unreadable;
    }
    *bytes = buffer;
    *size = wanted;
    return ReadResult::Read;
}

// Writes the bytes under `temporary` and renames that to `path` once complete, so that the file
// appears under its name only whole. With storeWriteFault a test can stop the program between
// the two halves of the write.
bool WriteWholeFile(const std::wstring& path, const std::wstring& temporary, const uint8_t* bytes,
                    size_t size, bool storeWriteFault) {
    if (path.empty() || size > MAXDWORD) {
        return false;
    }
    bool complete = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) {
            return false;
        }
        const DWORD first = static_cast<DWORD>(size / 2);
        const DWORD second = static_cast<DWORD>(size) - first;
        DWORD written = 0;
        complete = WriteFile(file.get(), bytes, first, &written, nullptr) && written == first;
        if (complete) {
            if (storeWriteFault) {
                fault::Reach(fault::kStoreWrite);
            }
            complete = WriteFile(file.get(), bytes + first, second, &written, nullptr) &&
                       written == second && FlushFileBuffers(file.get());
        }
    }
    if (!complete || !MoveFileExW(temporary.c_str(), path.c_str(), kReplaceFlags)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
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

ReadResult DiskStoreMedium::ReadInfo(std::vector<ImageInfoStuct>& entries) {
    if (m_infoFileAnsi.empty()) {
        return ReadResult::Missing;
    }
    ImageInfoStuct* array = nullptr;
    int count = 0;
    if (GetImageInfo(m_infoFileAnsi.c_str(), &array, &count) == 0) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? ReadResult::Missing
                   : ReadResult::Unreadable;
    }
    if (array != nullptr && count > 0) {
        entries.assign(array, array + count);
    }
    FreeMem(array);
    return ReadResult::Read;
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

ReadResult DiskStoreMedium::ReadImageFile(const std::string& name, uint8_t** bytes, size_t* size) {
    *bytes = nullptr;
    const std::wstring path = PathOf(name);
    return path.empty() ? ReadResult::Missing : ReadWholeFile(path, kLargestImageFile, bytes, size);
}

bool DiskStoreMedium::WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) {
    return WriteWholeFile(PathOf(name), PathOf(name + kUnfinishedFileSuffix), bytes, size, true);
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

bool DiskStoreMedium::MoveToOlderImages(const std::string& name) {
    const std::wstring path = PathOf(name);
    if (path.empty()) {
        return false;
    }
    const std::wstring folder = m_imageFolder + L"\\" + kOlderImagesFolder;
    CreateDirectoryW(folder.c_str(), nullptr);
    // An image of another day may hold the name: never replaced, the next free name is taken.
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const std::string older = OlderImageFileName(name, attempt);
        const std::wstring target = folder + L"\\" + std::wstring(older.begin(), older.end());
        if (MoveFileExW(path.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

void DiskStoreMedium::WaitBeforeRetry() {
    Sleep(500);
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

DeliveredRecord RegistryRecord() {
    DeliveredRecord record;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return record;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[64] = {};
        DWORD nameLength = 64;
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        const LONG rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(&value), &size);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
            continue;
        }
        // Only names of store files (ASCII digits and ".bmp") are ever written here.
        std::string narrow;
        for (const wchar_t* c = name; *c != 0; ++c) {
            narrow += static_cast<char>(*c & 0x7F);
        }
        if (FileNumberOfName(narrow) >= 0) {
            record[narrow] = value;
        }
    }
    RegCloseKey(key);
    return record;
}

void RegistryRemember(const std::string& name, uint32_t crc) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const DWORD value = crc;
    RegSetValueExW(key, Widen(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
    RegCloseKey(key);
}

void RegistryForget(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteValueW(key, Widen(name).c_str());
    RegCloseKey(key);
}

// Removes the registry's record and then the suite's keys above it that hold nothing else.
void RegistryClear() {
    if (RegDeleteKeyW(HKEY_CURRENT_USER, kDeliveredKey) != ERROR_SUCCESS) {
        return;
    }
    for (const wchar_t* parent : {L"SOFTWARE\\Halvex Imaging\\QOR", L"SOFTWARE\\Halvex Imaging"}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, parent, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
            return;
        }
        DWORD subkeys = 1;
        DWORD values = 1;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        if (subkeys != 0 || values != 0 || RegDeleteKeyW(HKEY_CURRENT_USER, parent) != ERROR_SUCCESS) {
            return;
        }
    }
}

// The largest record file read: a few thousand lines; anything larger is not one we wrote.
constexpr LONGLONG kLargestRecordFile = 4LL << 20;

}  // namespace

ReadResult DiskStoreMedium::ReadDelivered(std::vector<DeliveredImage>& images) {
    ReadResult file = ReadResult::Missing;
    DeliveredRecord record;
    if (!m_imageFolder.empty()) {
        uint8_t* bytes = nullptr;
        size_t size = 0;
        file = ReadWholeFile(m_imageFolder + L"\\" + kDeliveredRecordFile, kLargestRecordFile,
                             &bytes, &size);
        if (file == ReadResult::Read) {
            record = ParseDeliveredRecord(
                std::string_view(reinterpret_cast<const char*>(bytes), size));
        }
        std::free(bytes);
    }
    m_bRecordFileUsable = !m_imageFolder.empty() && file != ReadResult::Unreadable;
    // The registry holds what the file could not take, so it is the newer of the two.
    const DeliveredRecord registry = RegistryRecord();
    for (const auto& [name, crc] : registry) {
        record[name] = crc;
    }
    m_record = std::move(record);
    if (!registry.empty() && m_bRecordFileUsable) {
        SaveRecord();
    }
    for (const auto& [name, crc] : m_record) {
        images.push_back({name, crc});
    }
    return file == ReadResult::Unreadable ? ReadResult::Unreadable : ReadResult::Read;
}

void DiskStoreMedium::RememberDelivered(const std::string& name, uint32_t crc) {
    m_record[name] = crc;
    if (!m_bRecordFileUsable || !SaveRecord()) {
        RegistryRemember(name, crc);
    }
}

void DiskStoreMedium::ForgetDelivered(const std::string& name) {
    m_record.erase(name);
    RegistryForget(name);
    // A line left in a file that cannot be written is harmless: the next start finds its file
    // missing or holding other bytes.
    if (m_bRecordFileUsable) {
        SaveRecord();
    }
}

bool DiskStoreMedium::SaveRecord() {
    const std::wstring path = m_imageFolder + L"\\" + kDeliveredRecordFile;
    bool saved = false;
    if (m_record.empty()) {
        saved = DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    } else {
        const std::string text = FormatDeliveredRecord(m_record);
        saved = WriteWholeFile(path, path + L".new", reinterpret_cast<const uint8_t*>(text.data()),
                               text.size(), false);
    }
    if (saved) {
        RegistryClear();
    }
    return saved;
}
