#include "app/disk_store_medium.h"

#include <cstdlib>

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

} // namespace

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
    return m_infoFileAnsi.empty() ? 0 : StoreImageInfo(m_infoFileAnsi.c_str(), records, count);
}

int DiskStoreMedium::WriteSelection(int index, int selected) {
    return m_infoFileAnsi.empty() ? 0
                                  : UpdateSelectionStatus(m_infoFileAnsi.c_str(), index, selected);
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
    if (path.empty()) {
        return false;
    }
    bool complete = false;
    {
        FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) {
            return false;
        }
        DWORD written = 0;
        complete = size <= MAXDWORD &&
                   WriteFile(file.get(), bytes, static_cast<DWORD>(size), &written, nullptr) &&
                   written == size;
    }
    if (!complete) {
        // A cut file would only be skipped at the next start; the image stays in memory.
        DeleteFileW(path.c_str());
    }
    return complete;
}

StoreMedium::Removal DiskStoreMedium::DeleteImageFile(const std::string& name) {
    const std::wstring path = PathOf(name);
    if (path.empty()) {
        return Removal::Missing;
    }
    if (DeleteFileW(path.c_str())) {
        return Removal::Deleted;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Removal::Missing
                                                                          : Removal::Failed;
}
