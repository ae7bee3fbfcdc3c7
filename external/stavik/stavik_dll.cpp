// Stavik.dll, the stand-in of the selected-image queue: it serves the images selected in QOR
// APP's store on disk ("Images" below "InstalPath", listed in "ImageInfo.ini"), oldest first, and
// removes each one it hands out (file and entry), as QOR APP does when it sends an image.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/core/image_record.h"
#include "external/orbel/orbel.h"

namespace {

std::string g_folder;              // the store folder with its trailing backslash (ANSI)
std::vector<ImageInfoStuct> g_all;  // every entry of the information file, in its order
bool g_bLoaded = false;

std::string InfoFile() { return g_folder + "ImageInfo.ini"; }

std::string ImageFile(int32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "%.9d.bmp", static_cast<int>(number));
    return g_folder + name;
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

// The information file without the entry just handed out.
void Rewrite() {
    std::vector<ImageDataStruct> records(g_all.size());
    std::vector<ImageDataStruct*> pointers;
    for (size_t i = 0; i < g_all.size(); ++i) {
        records[i] = ImageDataStruct{};
        records[i].stTime = g_all[i].stTime;
        records[i].bSelected = g_all[i].bSelected;
        pointers.push_back(&records[i]);
    }
    StoreImageInfo(InfoFile().c_str(), pointers.empty() ? nullptr : pointers.data(), static_cast<int>(pointers.size()));
}

int Selected() {
    int n = 0;
    for (const ImageInfoStuct& e : g_all) n += e.bSelected != 0;
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

int __stdcall GetTotNumOfSelImages() {
    try {
        if (!g_bLoaded) g_bLoaded = Load();
        return Selected();
    } catch (...) {
        return 0;
    }
}

ImageDataStruct* __stdcall RemoveOldestSelImg() {
    try {
        for (size_t i = 0; i < g_all.size(); ++i) {
            if (!g_all[i].bSelected) continue;
            const std::string path = ImageFile(g_all[i].nFileNumber);
            ImageDataStruct* record = NewImageRecord();
            if (record == nullptr) return nullptr;
            record->stTime = g_all[i].stTime;
            record->bSelected = 1;
            if (FILE* file = std::fopen(path.c_str(), "rb")) {
                std::fseek(file, 0, SEEK_END);
                const long size = std::ftell(file);
                std::fseek(file, 0, SEEK_SET);
                // A missing or unreadable file gives a record of size 0, which the source skips.
                if (size > 0 && size <= 64L * 1024 * 1024) {
                    record->pImageData = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
                    if (record->pImageData != nullptr &&
                        std::fread(record->pImageData, 1, static_cast<size_t>(size), file) == static_cast<size_t>(size)) {
                        record->nImageSize = static_cast<int32_t>(size);
                    }
                }
                std::fclose(file);
            }
            DeleteFileA(path.c_str());
            g_all.erase(g_all.begin() + static_cast<std::ptrdiff_t>(i));
            Rewrite();
            return record;
        }
        return nullptr;
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
