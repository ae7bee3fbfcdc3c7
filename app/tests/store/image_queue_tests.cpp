// CImageQueue on real files with the real Orbel.dll: a session and a restart, a hostile
// information file, a folder that refuses a file, another thread reading, and the
// folder chosen without "InstalPath".
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "app/core/gray_bitmap.h"
#include "app/image_queue.h"
#include "app/tests/store/store_folder.h"
#include "app/tests/store/store_images.h"
#include "external/orbel/orbel.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> FileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> Bytes(const ImageDataStruct* record) {
    return {record->pImageData, record->pImageData + record->nImageSize};
}

TEST(ImageQueue, SessionRestartAndTakingImages) {
    StoreFolder folder(L"session");
    std::vector<std::vector<uint8_t>> images;
    {
        CImageQueue store(folder.Path().c_str());
        EXPECT_TRUE(fs::is_regular_file(folder.Images() / "ImageInfo.ini"));
        EXPECT_EQ(store.GetCount(), 0);
        EXPECT_EQ(store.Add(NewImage(5, 120, 1)), 1);
        EXPECT_EQ(store.Add(NewImage(5, 120, 2)), 1); // same millisecond
        EXPECT_EQ(store.Add(NewImage(6, 0, 3)), 1);
        for (int i = 0; i < 3; ++i) {
            images.push_back(Bytes(store.GetAt(i)));
        }
        EXPECT_EQ(FileBytes(folder.Images() / "113005120.bmp"), images[0]);
        EXPECT_EQ(FileBytes(folder.Images() / "113005121.bmp"), images[1]);
        EXPECT_EQ(store.MakeImageFileName(store.GetAt(2)),
                  (folder.Images() / "113006000.bmp").wstring());
        EXPECT_EQ(store.SetSelection(0, 0), 1);
        int32_t size = 0;
        EXPECT_EQ(store.PendingImages(&size), 2);
        EXPECT_EQ(size, static_cast<int32_t>(images[1].size()));
    } // files and the information file stay
    {
        CImageQueue store(folder.Path().c_str());
        ASSERT_EQ(store.GetCount(), 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Bytes(store.GetAt(i)), images[static_cast<size_t>(i)]);
            EXPECT_EQ(store.GetAt(i)->nThumbnailSize, kThumbnailBytes);
        }
        EXPECT_EQ(store.GetAt(0)->bSelected, 0);
        EXPECT_EQ(store.GetAt(1)->stTime.wMilliseconds, 121);
        EXPECT_EQ(store.GetAt(1)->stTime.wYear, 2026);

        ImageDataStruct* sent = store.TakeFirstSelected();
        ASSERT_NE(sent, nullptr);
        EXPECT_EQ(Bytes(sent), images[1]);
        FreeImageRecord(sent);
        EXPECT_FALSE(fs::exists(folder.Images() / "113005121.bmp"));
        EXPECT_EQ(store.DeleteAll(TRUE), 1);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.Images()), {}), 1); // the .ini
    }
    CImageQueue empty(folder.Path().c_str());
    EXPECT_EQ(empty.GetCount(), 0);
}

// "ImageInfo.ini" cut short by a kill in the middle of its rewrite (empty), or garbage: every
// bitmap in "Images" is offered again, byte for byte, and the log learns of each. A leftover
// "ImageInfo.ini.new" takes the place of an empty list; a bitmap whose writing was cut short
// (its temporary file) is deleted. No write leaves a temporary file behind.
TEST(ImageQueue, LostInformationFileLosesNoImage) {
    StoreFolder folder(L"lostlist");
    std::vector<std::vector<uint8_t>> images;
    const fs::path info = folder.Images() / "ImageInfo.ini";
    {
        CImageQueue store(folder.Path().c_str());
        for (uint16_t second = 1; second <= 3; ++second) {
            store.Add(NewImage(second, 7, second));
            images.push_back(Bytes(store.GetAt(second - 1)));
        }
        EXPECT_EQ(1, store.SetSelection(1, 0));
        store.DeleteAll(FALSE);
    }
    EXPECT_EQ(4, std::distance(fs::directory_iterator(folder.Images()), {}))
        << "three bitmaps and the list, nothing temporary";
    const std::string saved = [&] {
        std::ifstream in(info, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();

    struct Case {
        const char* name;
        std::string list;         // the content of ImageInfo.ini at the start
        bool leftoverNew;         // a whole ImageInfo.ini.new lies beside it
        int selectedOfSecond;     // what the second image's selection is after the start
        size_t reportLines;
    };
    const Case cases[] = {
        {"empty", "", false, 1, 3},
        {"garbage", std::string("\x01\xFF[ImageInfo\r\nImage0=zz,\r\n\0\0", 22), false, 1, 3},
        {"empty with a leftover new list", "", true, 0, 1},
        {"whole with a leftover new list", saved, true, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(info, std::ios::binary | std::ios::trunc) << c.list;
        if (c.leftoverNew) {
            std::ofstream(folder.Images() / "ImageInfo.ini.new", std::ios::binary) << saved;
        }
        std::ofstream(folder.Images() / "113009000.bmp.part", std::ios::binary) << "BM half";
        CImageQueue store(folder.Path().c_str());
        ASSERT_EQ(3, store.GetCount());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(images[static_cast<size_t>(i)], Bytes(store.GetAt(i)));
        }
        EXPECT_EQ(c.selectedOfSecond, store.GetAt(1)->bSelected);
        const std::vector<std::string> report = store.TakeReport();
        std::string all;
        for (const std::string& line : report) {
            all += line;
        }
        // The cut bitmap, then one line per adopted image (or the leftover list's fate).
        EXPECT_EQ(c.reportLines + 1, report.size()) << all;
        EXPECT_NE(std::string::npos, all.find("113009000.bmp.part is an image file whose writing "
                                              "was cut short; it is deleted"))
            << all;
        if (!c.leftoverNew) {
            EXPECT_NE(std::string::npos, all.find("113002007.bmp was not listed; it is adopted"))
                << all;
        }
        EXPECT_FALSE(fs::exists(folder.Images() / "ImageInfo.ini.new"));
        EXPECT_FALSE(fs::exists(folder.Images() / "113009000.bmp.part"));
        // The list was written again: the next start has nothing to report.
        store.DeleteAll(FALSE);
        CImageQueue again(folder.Path().c_str());
        EXPECT_EQ(3, again.GetCount());
        EXPECT_TRUE(again.TakeReport().empty());
        again.SetSelection(1, 0);
        again.DeleteAll(FALSE);
    }
}

TEST(ImageQueue, HostileInformationFileLoadsWhatIsSound) {
    StoreFolder folder(L"hostile");
    fs::create_directories(folder.Images());
    // 70 entries naming real, valid files, plus a missing file, a non-bitmap, a truncated
    // bitmap and an entry that is no time of day.
    std::string ini = "[ImageInfo]\r\nCount=75\r\n";
    for (int i = 0; i < 70; ++i) {
        ImageDataStruct* image =
            NewImage(static_cast<uint16_t>(i / 10), static_cast<uint16_t>(i % 10));
        char name[32];
        std::snprintf(name, sizeof name, "%.9d", 113000000 + i / 10 * 1000 + i % 10);
        std::ofstream(folder.Images() / (std::string(name) + ".bmp"), std::ios::binary)
            .write(reinterpret_cast<const char*>(image->pImageData), image->nImageSize);
        ini += "Image" + std::to_string(i) + "=" + name + ",2026-12-07,1,1\r\n";
        FreeImageRecord(image);
    }
    std::ofstream(folder.Images() / "120000000.bmp") << "not a bitmap";
    const auto good = FileBytes(folder.Images() / "113000000.bmp");
    std::ofstream(folder.Images() / "120000001.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(good.data()), 2000);
    ini += "Image70=115959999\r\nImage71=120000000\r\nImage72=120000001\r\nImage73=999999999\r\n";
    std::ofstream(folder.Images() / "ImageInfo.ini", std::ios::binary) << ini;

    CImageQueue store(folder.Path().c_str());
    ASSERT_EQ(store.GetCount(), 64);
    EXPECT_EQ(store.MakeImageFileName(store.GetAt(0)),
              (folder.Images() / "113000006.bmp").wstring());
    EXPECT_EQ(store.MakeImageFileName(store.GetAt(63)),
              (folder.Images() / "113006009.bmp").wstring());
    // The information file now lists exactly what was loaded, so selection goes by index.
    EXPECT_EQ(store.SetSelection(63, 0), 1);
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    ASSERT_EQ(GetImageInfo(folder.InfoAnsi().c_str(), &entries, &count), 1);
    ASSERT_EQ(count, 64);
    EXPECT_EQ(entries[63].nFileNumber, 113006009);
    EXPECT_EQ(entries[63].bSelected, 0);
    FreeMem(entries);
    EXPECT_TRUE(fs::exists(folder.Images() / "113000000.bmp")); // unlisted, not deleted
}

TEST(ImageQueue, UnwritableFileKeepsTheImageAndIsReportedOnce) {
    StoreFolder folder(L"unwritable");
    CImageQueue store(folder.Path().c_str());
    // A folder where each image file should go: the file cannot be created.
    fs::create_directories(folder.Images() / "113001000.bmp");
    fs::create_directories(folder.Images() / "113002000.bmp");
    store.Add(NewImage(1, 0));
    store.Add(NewImage(2, 0));
    EXPECT_EQ(store.GetCount(), 2);
    EXPECT_EQ(store.TakeNotice(StoreNotice::WriteFailed), true);
    EXPECT_EQ(store.TakeNotice(StoreNotice::WriteFailed), false);
    fs::remove(folder.Images() / "113001000.bmp");
    fs::remove(folder.Images() / "113002000.bmp");
    store.Add(NewImage(3, 0));
    EXPECT_EQ(store.TakeNotice(StoreNotice::WriteFailed), false);
    EXPECT_EQ(FileBytes(folder.Images() / "113001000.bmp"), Bytes(store.GetAt(0)));
    EXPECT_EQ(FileBytes(folder.Images() / "113002000.bmp"), Bytes(store.GetAt(1)));
}

TEST(ImageQueue, AnotherThreadReadsWhileTheMainThreadChanges) {
    StoreFolder folder(L"threads");
    CImageQueue store(folder.Path().c_str());
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!done) {
            int32_t size = -1;
            const int pending = store.PendingImages(&size);
            if (pending < 0 || pending > 64 || (pending > 0) != (size > 0)) {
                ++badReads;
            }
        }
    });
    for (uint16_t i = 0; i < 80; ++i) {
        store.Add(NewImage(static_cast<uint16_t>(i / 10), static_cast<uint16_t>(i % 10)));
        if (i % 3 == 0) {
            FreeImageRecord(store.TakeFirstSelected());
        }
    }
    done = true;
    reader.join();
    EXPECT_EQ(badReads, 0);
    EXPECT_EQ(store.GetCount(), 53);
}

TEST(ImageQueue, WithoutInstalPathTheProgramFolderHoldsTheStore) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halvex Imaging\\QOR", 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    wchar_t saved[MAX_PATH] = {};
    DWORD bytes = sizeof saved - sizeof(wchar_t);
    const bool had = RegQueryValueExW(key, L"InstalPath", nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(saved), &bytes) == ERROR_SUCCESS;
    RegDeleteValueW(key, L"InstalPath");
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    {
        CImageQueue store;
        EXPECT_TRUE(store.UsesFallbackFolder());
        EXPECT_EQ(fs::path(store.ImageFolder()), fs::path(program).parent_path() / L"Images");
    }
    if (had) {
        RegSetValueExW(key, L"InstalPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), bytes);
    }
    RegCloseKey(key);
}

} // namespace
