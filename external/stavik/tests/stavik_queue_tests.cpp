// The selected-image queue under Wine, on a store made as QOR APP makes it ("Images" below
// "InstalPath", the list written through Orbel): images served oldest first and exactly once, a
// file another program holds open is neither served nor dropped, entries of vanished files go,
// and the list is replaced whole, never rewritten in place.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/core/image_record.h"
#include "external/orbel/orbel.h"

namespace {

namespace fs = std::filesystem;

using CountFn = int(__stdcall*)();
using RemoveFn = ImageDataStruct*(__stdcall*)();
using FreeFn = int(__stdcall*)(ImageDataStruct*);

// The 32-bit library exports decorated names ("_FreeImg@4"), the 64-bit one plain names.
template <typename Fn>
Fn Entry(HMODULE module, const char* name, int argumentBytes) {
    char decorated[64];
    std::snprintf(decorated, sizeof decorated, "_%s@%d", name, argumentBytes);
    FARPROC entry = GetProcAddress(module, decorated);
    if (entry == nullptr) {
        entry = GetProcAddress(module, name);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(entry));
}

constexpr wchar_t kKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";

class StavikQueue : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_module = LoadLibraryW(L"Stavik.dll");
        ASSERT_NE(nullptr, s_module);
        s_init = Entry<CountFn>(s_module, "InitializeImageQueue", 0);
        s_count = Entry<CountFn>(s_module, "GetTotNumOfSelImages", 0);
        s_remove = Entry<RemoveFn>(s_module, "RemoveOldestSelImg", 0);
        s_free = Entry<FreeFn>(s_module, "FreeImg", 4);
        s_clear = Entry<CountFn>(s_module, "ClearImageQueue", 0);
        ASSERT_TRUE(s_init && s_count && s_remove && s_free && s_clear);
    }

    void SetUp() override {
        m_root = fs::temp_directory_path() / "qor_stavik";
        fs::remove_all(m_root);
        fs::create_directories(m_root / "Images");
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_LOCAL_MACHINE, kKey, &key));
        wchar_t old[MAX_PATH] = {};
        DWORD size = sizeof old - sizeof(wchar_t);
        DWORD type = 0;
        m_hadPath = RegQueryValueExW(key, L"InstalPath", nullptr, &type, reinterpret_cast<BYTE*>(old), &size) ==
                    ERROR_SUCCESS;
        m_oldPath = old;
        const std::wstring path = m_root.wstring();
        RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        s_clear();
    }

    void TearDown() override {
        s_clear();
        HKEY key = nullptr;
        if (RegCreateKeyW(HKEY_LOCAL_MACHINE, kKey, &key) == ERROR_SUCCESS) {
            if (m_hadPath) {
                RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_oldPath.c_str()),
                               static_cast<DWORD>((m_oldPath.size() + 1) * sizeof(wchar_t)));
            } else {
                RegDeleteValueW(key, L"InstalPath");
            }
            RegCloseKey(key);
        }
        fs::remove_all(m_root);
    }

    // Images taken at 10:00:0n.00n, oldest first, all selected unless listed in `unselected`;
    // each file's bytes are distinct.
    void MakeStore(int count, std::vector<int> unselected = {}) {
        std::vector<ImageDataStruct> records(static_cast<size_t>(count));
        std::vector<ImageDataStruct*> pointers;
        for (int i = 0; i < count; ++i) {
            ImageDataStruct& r = records[static_cast<size_t>(i)];
            r = ImageDataStruct{};
            r.stTime = ImageTime{2026, 12, 2, 8, 10, 0, static_cast<uint16_t>(i), static_cast<uint16_t>(i + 1)};
            r.bSelected = std::find(unselected.begin(), unselected.end(), i) == unselected.end();
            pointers.push_back(&r);
            std::ofstream file(File(i), std::ios::binary);
            const std::string bytes = Bytes(i);
            file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        ASSERT_NE(0, StoreImageInfo(Info().string().c_str(), pointers.data(), count));
    }

    static std::string Bytes(int i) { return "BM image " + std::to_string(i) + std::string(40 + 7 * i, 'x'); }

    fs::path Info() const { return m_root / "Images" / "ImageInfo.ini"; }

    fs::path File(int i) const {
        char name[32];
        std::snprintf(name, sizeof name, "%.9d.bmp", 100000000 + i * 1000 + i + 1);
        return m_root / "Images" / name;
    }

    // The file numbers the list names, in order, and whether each is selected.
    std::vector<std::pair<int, int>> Listed() const {
        ImageInfoStuct* entries = nullptr;
        int count = 0;
        std::vector<std::pair<int, int>> listed;
        if (GetImageInfo(Info().string().c_str(), &entries, &count) == 0) return {{-1, -1}};
        for (int i = 0; i < count; ++i) listed.emplace_back(entries[i].nFileNumber, entries[i].bSelected);
        FreeMem(entries);
        return listed;
    }

    static int Number(int i) { return 100000000 + i * 1000 + i + 1; }

    // The bytes of the record served next ("" for an empty record), the record freed.
    static std::string Serve() {
        ImageDataStruct* record = s_remove();
        if (record == nullptr) return "(null)";
        std::string bytes = record->nImageSize > 0 && record->pImageData != nullptr
                                ? std::string(reinterpret_cast<const char*>(record->pImageData),
                                              static_cast<size_t>(record->nImageSize))
                                : std::string();
        s_free(record);
        return bytes;
    }

    // The file's identity: a file swapped in whole is another file than the one it replaced.
    static uint64_t FileIndex(const fs::path& path) {
        HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        const bool ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return ok ? (uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) : 0;
    }

    fs::path m_root;
    bool m_hadPath = false;
    std::wstring m_oldPath;
    static inline HMODULE s_module = nullptr;
    static inline CountFn s_init = nullptr, s_count = nullptr, s_clear = nullptr;
    static inline RemoveFn s_remove = nullptr;
    static inline FreeFn s_free = nullptr;
};

// Three selected images and one not selected: served oldest first, each once, byte for byte;
// each one leaves list and folder, the unselected one stays; every rewrite of the list is a new
// file swapped in, and no "ImageInfo.ini.new" is left behind.
TEST_F(StavikQueue, ServesSelectedImagesOldestFirstAndSwapsTheListInWhole) {
    MakeStore(4, {2});
    ASSERT_EQ(1, s_init());
    EXPECT_EQ(3, s_count());
    for (int i : {0, 1, 3}) {
        SCOPED_TRACE(i);
        const uint64_t before = FileIndex(Info());
        ASSERT_NE(0u, before);
        EXPECT_EQ(Bytes(i), Serve());
        EXPECT_FALSE(fs::exists(File(i)));
        EXPECT_NE(before, FileIndex(Info())) << "the list was rewritten in place";
        EXPECT_FALSE(fs::exists(Info().string() + ".new"));
    }
    EXPECT_EQ(0, s_count());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{Number(2), 0}}), Listed());
    EXPECT_TRUE(fs::exists(File(2)));
}

// The fault: with the oldest bitmap held open by another program (no sharing), its entry was
// removed and its file deleted although it could not be read. Now it is neither counted nor
// served, entry and file stay, the next image is served, and once the file is free again it is
// served too.
TEST_F(StavikQueue, AFileHeldOpenByAnotherProgramKeepsItsEntryAndFile) {
    MakeStore(3);
    HANDLE held = CreateFileW(File(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    ASSERT_EQ(1, s_init());
    EXPECT_EQ(2, s_count());
    EXPECT_EQ(Bytes(1), Serve());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{Number(0), 1}, {Number(2), 1}}), Listed());
    EXPECT_EQ(1, s_count());
    CloseHandle(held);
    EXPECT_TRUE(fs::exists(File(0)));
    EXPECT_EQ(2, s_count());
    EXPECT_EQ(Bytes(0), Serve());
    EXPECT_EQ(Bytes(2), Serve());
    EXPECT_EQ(0, s_count());
    EXPECT_TRUE(Listed().empty());
}

// Counted, then taken by another program before it was served: an empty record (the caller
// counts on a record while the count was above 0 and treats size 0 as no image), nothing
// removed; and an entry whose file has vanished is dropped on the way.
TEST_F(StavikQueue, AnImageTakenAfterItWasCountedGivesAnEmptyRecordAndStays) {
    MakeStore(3);
    ASSERT_EQ(1, s_init());
    EXPECT_EQ(3, s_count());
    fs::remove(File(0));
    HANDLE held1 = CreateFileW(File(1).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE held2 = CreateFileW(File(2).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held1);
    ASSERT_NE(INVALID_HANDLE_VALUE, held2);
    EXPECT_EQ("", Serve());
    EXPECT_EQ((std::vector<std::pair<int, int>>{{Number(1), 1}, {Number(2), 1}}), Listed());
    EXPECT_EQ(0, s_count());
    CloseHandle(held1);
    CloseHandle(held2);
    EXPECT_EQ(2, s_count());
    EXPECT_EQ(Bytes(1), Serve());
    EXPECT_EQ(Bytes(2), Serve());
    EXPECT_TRUE(Listed().empty());
}

}  // namespace
