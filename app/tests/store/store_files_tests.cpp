// CImageQueue where the Windows file layer decides: files another program holds open at the
// start (the list, an image, a delivered image's file), the record of delivered images beside
// the store with the registry as its fall-back and its old place, and the folder of older
// images a full store moves its oldest image into.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/core/image_file_name.h"
#include "app/image_queue.h"
#include "app/tests/store/store_folder.h"
#include "app/tests/store/store_images.h"
#include "common/core/crc32.h"
#include "external/orbel/orbel.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr wchar_t kDeliveredKey[] = L"SOFTWARE\\Halvex Imaging\\QOR\\Delivered Images";

// Each test image has bytes of its own.
ImageDataStruct* NewTaggedImage(uint16_t second, uint16_t ms = 0) {
    return NewImage(second, ms, 100 * second + ms);
}

std::string Text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Another program's handle on a file for the length of a scope.
class Held {
public:
    Held(const fs::path& path, DWORD share)
        : m_h(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(m_h, INVALID_HANDLE_VALUE) << path;
    }
    ~Held() { Release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    void Release() {
        if (m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
            m_h = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE m_h;
};

// "name:selection" of each offered image, in order.
Names Offered(const CImageQueue& store) {
    Names offered;
    for (int i = 0; i < store.GetCount(); ++i) {
        offered.push_back(ImageFileName(store.GetAt(i)->stTime) + ":" +
                          std::to_string(store.GetAt(i)->bSelected));
    }
    return offered;
}

// "name:selection" of each entry of the information file.
Names Listed(const StoreFolder& folder) {
    Names listed;
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    if (GetImageInfo(folder.InfoAnsi().c_str(), &entries, &count) == 0) {
        return {"(unreadable)"};
    }
    for (int i = 0; i < count; ++i) {
        listed.push_back(ImageFileNameOfNumber(entries[i].nFileNumber) + ":" +
                         std::to_string(entries[i].bSelected));
    }
    FreeMem(entries);
    return listed;
}

uint32_t CrcOf(const ImageDataStruct* record) {
    return qor::Crc32(record->pImageData, static_cast<size_t>(record->nImageSize));
}

std::string RecordLine(const std::string& name, uint32_t crc) {
    char line[40];
    std::snprintf(line, sizeof line, "%s %08X\r\n", name.c_str(), static_cast<unsigned>(crc));
    return line;
}

bool RegistryHolds(const std::string& name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_CURRENT_USER, kDeliveredKey,
                        std::wstring(name.begin(), name.end()).c_str(), RRF_RT_REG_DWORD, nullptr,
                        &value, &size) == ERROR_SUCCESS;
}

// A list, an image file and a delivered image's file, each held open without sharing by
// another program at a start: the store waits for them (about 5 s) and then loses nothing,
// ticks nothing the user unticked, offers nothing twice; the next start, with the files free,
// finds everything in its place.
TEST(StoreFiles, FilesHeldOpenAtTheStartAreNeitherLostNorTickedNorOfferedTwice) {
    struct Case {
        const char* name;
        bool holdList;   // else the second image's file and the delivered file are held
        Names offered;   // at the start with the files held
        Names listedAfterNewImage;
    } cases[] = {
        {"image files held", false, {"113001000.bmp:1", "113003000.bmp:1"},
         {"113001000.bmp:1", "113002000.bmp:0", "113003000.bmp:1", "113009000.bmp:1"}},
        {"list held", true, {"113001000.bmp:0", "113002000.bmp:0", "113003000.bmp:0"},
         {"113001000.bmp:0", "113002000.bmp:0", "113003000.bmp:0", "113009000.bmp:1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoreFolder folder(L"held");
        const fs::path images = folder.Images();
        {
            CImageQueue store(folder.Path().c_str());
            for (uint16_t second = 1; second <= 4; ++second) {
                store.Add(NewTaggedImage(second));
            }
            store.SetSelection(1, 0);
            // The fourth is delivered while a viewer holds its file: it stays, recorded.
            Held viewer(images / "113004000.bmp", FILE_SHARE_READ);
            EXPECT_TRUE(store.RemoveMatching(113004000, CrcOf(store.GetAt(3))));
            store.DeleteAll(FALSE);
        }
        ASSERT_TRUE(fs::exists(images / "113004000.bmp"));
        const std::string record = Text(images / "Delivered Images.txt");
        ASSERT_NE(std::string::npos, record.find("113004000.bmp ")) << record;
        const std::string list = Text(images / "ImageInfo.ini");
        {
            std::vector<std::unique_ptr<Held>> held;
            if (c.holdList) {
                held.push_back(std::make_unique<Held>(images / "ImageInfo.ini", 0));
            } else {
                held.push_back(std::make_unique<Held>(images / "113002000.bmp", 0));
                held.push_back(std::make_unique<Held>(images / "113004000.bmp", 0));
            }
            CImageQueue store(folder.Path().c_str());
            EXPECT_EQ(c.offered, Offered(store));
            EXPECT_EQ(c.holdList, store.TakeNotice(StoreNotice::RecordsInDoubt));
            EXPECT_FALSE(store.TakeNotice(StoreNotice::RecordsInDoubt));
            held.clear();
            EXPECT_EQ(list, Text(images / "ImageInfo.ini")) << "the list is kept as it was";
            if (!c.holdList) {
                EXPECT_EQ(record, Text(images / "Delivered Images.txt"))
                    << "a record whose file was only unreadable stays";
            }
            store.Add(NewTaggedImage(9));
            EXPECT_EQ(c.listedAfterNewImage, Listed(folder));
            store.DeleteAll(FALSE);
        }
        CImageQueue next(folder.Path().c_str());
        EXPECT_EQ(c.listedAfterNewImage, Offered(next));
        EXPECT_FALSE(fs::exists(images / "113004000.bmp")) << "the delivered file goes now";
        EXPECT_FALSE(fs::exists(images / "Delivered Images.txt"));
        next.DeleteAll(FALSE);
    }
}

// The record lives beside the images ("<name> <CRC-32>" lines written through a temporary);
// one kept in the registry by an earlier version moves into it; where the file cannot be
// written the registry takes the record; each entry ends when its file can be deleted.
TEST(StoreFiles, DeliveredRecordBesideTheImagesWithTheRegistryAsFallBack) {
    StoreFolder folder(L"record");
    const fs::path images = folder.Images();
    const fs::path record = images / "Delivered Images.txt";
    RegDeleteKeyW(HKEY_CURRENT_USER, kDeliveredKey);
    // An earlier version's record in the registry, of an image whose file a viewer holds.
    fs::create_directories(images);
    ImageDataStruct* old = NewTaggedImage(8);
    std::ofstream(images / "113008000.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(old->pImageData), old->nImageSize);
    const uint32_t oldCrc = CrcOf(old);
    FreeImageRecord(old);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD value = oldCrc;
    RegSetValueExW(key, L"113008000.bmp", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
    RegCloseKey(key);
    std::vector<std::unique_ptr<Held>> viewers;
    viewers.push_back(std::make_unique<Held>(images / "113008000.bmp", FILE_SHARE_READ));
    uint32_t crcs[2] = {};
    {
        CImageQueue store(folder.Path().c_str());
        EXPECT_EQ(0, store.GetCount()) << "the delivered image is not adopted";
        EXPECT_EQ(RecordLine("113008000.bmp", oldCrc), Text(record));
        EXPECT_FALSE(RegistryHolds("113008000.bmp")) << "moved into the store's record";

        // Deleted in the preview while a viewer holds the file: recorded in the file.
        store.Add(NewTaggedImage(1));
        store.Add(NewTaggedImage(2));
        crcs[0] = CrcOf(store.GetAt(0));
        crcs[1] = CrcOf(store.GetAt(1));
        viewers.push_back(std::make_unique<Held>(images / "113001000.bmp", FILE_SHARE_READ));
        EXPECT_EQ(0, store.RemoveAt(0, TRUE));
        EXPECT_EQ(RecordLine("113001000.bmp", crcs[0]) + RecordLine("113008000.bmp", oldCrc),
                  Text(record));
        EXPECT_FALSE(fs::exists(images / "Delivered Images.txt.new"));

        // The record file cannot be written (a folder stands where its temporary goes): the
        // registry takes the entry.
        fs::create_directories(images / "Delivered Images.txt.new");
        viewers.push_back(std::make_unique<Held>(images / "113002000.bmp", FILE_SHARE_READ));
        EXPECT_EQ(0, store.RemoveAt(0, TRUE));
        EXPECT_TRUE(RegistryHolds("113002000.bmp"));
        EXPECT_EQ(RecordLine("113001000.bmp", crcs[0]) + RecordLine("113008000.bmp", oldCrc),
                  Text(record));
        fs::remove(images / "Delivered Images.txt.new");
    }
    {
        // Still held: nothing comes back; both records are read.
        CImageQueue store(folder.Path().c_str());
        EXPECT_EQ(0, store.GetCount());
        EXPECT_FALSE(RegistryHolds("113002000.bmp")) << "moved into the store's record";
        EXPECT_NE(std::string::npos, Text(record).find(RecordLine("113002000.bmp", crcs[1])));
    }
    viewers.clear();
    CImageQueue store(folder.Path().c_str());
    EXPECT_EQ(0, store.GetCount());
    for (const char* name : {"113001000.bmp", "113002000.bmp", "113008000.bmp"}) {
        EXPECT_FALSE(fs::exists(images / name)) << name << " is deleted once it can be";
    }
    EXPECT_FALSE(fs::exists(record));
    HKEY left = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kDeliveredKey, 0, KEY_READ, &left), ERROR_SUCCESS);
}

// The 65th image: the oldest image not lent goes into "Images\Older Images", whole, under a
// free name when an older image of another day holds its own.
TEST(StoreFiles, FullStoreMovesTheOldestImageNotLentIntoOlderImages) {
    StoreFolder folder(L"older");
    const fs::path older = folder.Images() / "Older Images";
    CImageQueue store(folder.Path().c_str());
    for (uint16_t i = 0; i < 64; ++i) {
        store.Add(NewTaggedImage(static_cast<uint16_t>(i / 10), static_cast<uint16_t>(i % 10)));
    }
    const std::vector<uint8_t> second(store.GetAt(1)->pImageData,
                                      store.GetAt(1)->pImageData + store.GetAt(1)->nImageSize);
    fs::create_directories(older);
    std::ofstream(older / "113000001.bmp") << "an image of another day";
    store.SetLent(113000000, true);
    EXPECT_EQ(1, store.Add(NewTaggedImage(9, 999)));
    EXPECT_TRUE(store.TakeNotice(StoreNotice::OldestMovedOut));
    EXPECT_EQ(64, store.GetCount());
    EXPECT_EQ("113000000.bmp", ImageFileName(store.GetAt(0)->stTime)) << "lent: it stays";
    EXPECT_FALSE(fs::exists(folder.Images() / "113000001.bmp"));
    EXPECT_EQ("an image of another day", Text(older / "113000001.bmp"));
    const std::string moved = Text(older / "113000001 (2).bmp");
    EXPECT_EQ(std::string(second.begin(), second.end()), moved);
    store.DeleteAll(FALSE);
}

} // namespace
