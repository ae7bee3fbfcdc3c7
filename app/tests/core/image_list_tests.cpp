// The store's list rules over a medium in memory: limits, fill levels, names, selection,
// failed writes and loading.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"
#include "app/core/image_list.h"
#include "common/core/crc32.h"

namespace {

class MemoryMedium : public StoreMedium {
public:
    std::map<std::string, std::vector<uint8_t>> files;
    std::map<std::string, std::vector<uint8_t>> older;  // the folder of older images
    std::vector<ImageInfoStuct> info;
    int infoWrites = 0;
    bool failWrites = false;
    bool infoMissing = false;
    std::set<std::string> undeletable;
    std::set<std::string> unmovable;
    std::map<std::string, uint32_t> delivered;  // what a medium keeps outside the store
    bool deliveredUnreadable = false;
    // Reads that fail as unreadable before the file (or "ImageInfo.ini") reads again; -1: all.
    std::map<std::string, int> unreadable;
    int waits = 0;

    // Counts down one failing read of `name`; true while it is unreadable.
    bool Unreadable(const std::string& name) {
        auto left = unreadable.find(name);
        if (left == unreadable.end() || left->second == 0) {
            return false;
        }
        if (left->second > 0) {
            --left->second;
        }
        return true;
    }
    ReadResult ReadInfo(std::vector<ImageInfoStuct>& entries) override {
        if (Unreadable("ImageInfo.ini")) {
            return ReadResult::Unreadable;
        }
        if (infoMissing) {
            return ReadResult::Missing;
        }
        entries = info;
        return ReadResult::Read;
    }
    int WriteInfo(ImageDataStruct** records, int count) override {
        ++infoWrites;
        infoMissing = false;
        info.clear();
        for (int i = 0; i < count; ++i) {
            info.push_back(
                {ImageFileNumber(records[i]->stTime), records[i]->stTime, records[i]->bSelected});
        }
        return 1;
    }
    ReadResult ReadImageFile(const std::string& name, uint8_t** bytes, size_t* size) override {
        *bytes = nullptr;
        auto file = files.find(name);
        if (file == files.end() || file->second.empty()) {
            return ReadResult::Missing;
        }
        if (Unreadable(name)) {
            return ReadResult::Unreadable;
        }
        *bytes = static_cast<uint8_t*>(std::malloc(file->second.size()));
        std::memcpy(*bytes, file->second.data(), file->second.size());
        *size = file->second.size();
        return ReadResult::Read;
    }
    bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) override {
        if (failWrites) {
            return false;
        }
        files[name].assign(bytes, bytes + size);
        return true;
    }
    Removal DeleteImageFile(const std::string& name) override {
        if (undeletable.count(name) != 0) {
            return Removal::Failed;
        }
        return files.erase(name) != 0 ? Removal::Deleted : Removal::Missing;
    }
    bool MoveToOlderImages(const std::string& name) override {
        auto file = files.find(name);
        if (file == files.end() || unmovable.count(name) != 0) {
            return false;
        }
        older[name] = file->second;
        files.erase(file);
        return true;
    }
    void WaitBeforeRetry() override { ++waits; }
    void RememberDelivered(const std::string& name, uint32_t crc) override { delivered[name] = crc; }
    ReadResult ReadDelivered(std::vector<DeliveredImage>& images) override {
        for (const auto& [name, crc] : delivered) {
            images.push_back({name, crc});
        }
        return deliveredUnreadable ? ReadResult::Unreadable : ReadResult::Read;
    }
    void ForgetDelivered(const std::string& name) override { delivered.erase(name); }
    std::vector<StoredFile> ListImageFiles() override {
        std::vector<StoredFile> listed;
        for (const auto& file : files) {
            listed.push_back({file.first, {2026, 12, 2, 8, 0, 0, 0, 0}});
        }
        return listed;
    }
};

// A 4 x 2 image whose pixels carry `tag`, arriving at 10:00:00 plus `ms` milliseconds.
ImageDataStruct* NewImage(int ms, int32_t tag = 1000) {
    ImageDataStruct* record = NewImageRecord();
    const std::vector<int32_t> pixels(8, tag);
    EXPECT_EQ(MakeGray8Bitmap(pixels.data(), 8, 4, 2, &record->pImageData, record), 1);
    EXPECT_EQ(MakeThumbnail(record->pImageData, &record->pThumbnailData, &record->nThumbnailSize),
              1);
    record->bSelected = 1;
    record->stTime = {
        2026, 12, 1, 7, 10, 0, static_cast<uint16_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
    return record;
}

std::string NameAt(const ImageList& list, int i) {
    return ImageFileName(list.At(i)->stTime);
}

// Images at these milliseconds (their pixels tagged with the same number), written and let go
// as at an exit; the images at the indexes in `unticked` are unselected.
void Stored(MemoryMedium& medium, std::initializer_list<int> ms, std::set<int> unticked = {}) {
    ImageList writer(medium);
    for (const int m : ms) {
        writer.Add(NewImage(m, m));
    }
    for (const int i : unticked) {
        writer.SetSelection(i, 0);
    }
    writer.DeleteAll(false);
}

// "name:selection" of each offered image, in order.
std::vector<std::string> Offered(const ImageList& list) {
    std::vector<std::string> offered;
    for (int i = 0; i < list.Count(); ++i) {
        offered.push_back(NameAt(list, i) + ":" + std::to_string(list.At(i)->bSelected));
    }
    return offered;
}

// "name:selection" of each entry of the information file, in order.
std::vector<std::string> Listed(const MemoryMedium& medium) {
    std::vector<std::string> listed;
    for (const ImageInfoStuct& entry : medium.info) {
        listed.push_back(ImageFileNameOfNumber(entry.nFileNumber) + ":" +
                         std::to_string(entry.bSelected));
    }
    return listed;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) {
        all += line;
    }
    return all;
}

uint32_t CrcOfFile(const MemoryMedium& medium, const std::string& name) {
    const std::vector<uint8_t>& bytes = medium.files.at(name);
    return qor::Crc32(bytes.data(), bytes.size());
}

TEST(ImageList, SixtyFifthImageDropsTheOldestWithFillLevelsOnTheWay) {
    MemoryMedium medium;
    ImageList list(medium);
    for (int i = 0; i < 65; ++i) {
        if (i == 6) {
            list.SetSelection(0, 0); // the oldest goes whatever its selection
        }
        EXPECT_EQ(list.Add(NewImage(i * 10, i)), 1);
        const int count = list.Count();
        EXPECT_EQ(list.FillLevel(), count >= 64 ? 2 : count >= 60 ? 1 : 0) << count;
    }
    EXPECT_EQ(list.Count(), 64);
    EXPECT_EQ(medium.files.size(), 64u);
    EXPECT_EQ(medium.files.count("100000000.bmp"), 0u);
    EXPECT_EQ(NameAt(list, 0), "100000010.bmp");
    ASSERT_EQ(medium.info.size(), 64u);
    EXPECT_EQ(medium.info.back().nFileNumber, 100000640);
    EXPECT_EQ(list.TakeNotice(StoreNotice::WriteFailed), false);
    // Delete All: every file, and one rewrite of the information file.
    const int writes = medium.infoWrites;
    EXPECT_EQ(list.DeleteAll(true), 1);
    EXPECT_EQ(medium.infoWrites, writes + 1);
    EXPECT_TRUE(medium.files.empty() && medium.info.empty());
}

TEST(ImageList, SameMillisecondGetsTheNextFreeName) {
    MemoryMedium medium;
    ImageList list(medium);
    list.Add(NewImage(120, 1));
    list.Add(NewImage(121, 2));
    list.Add(NewImage(120, 3)); // 120 and 121 are taken
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(NameAt(list, 2), "100000122.bmp");
    EXPECT_EQ(medium.files.size(), 3u);
    // Each file still holds its own image.
    EXPECT_EQ(medium.files["100000120.bmp"][1078], 0); // 1 * 255 / 4095
    EXPECT_EQ(medium.info[2].nFileNumber, 100000122);
    // A time outside the day is clamped into it, so the file is found again.
    ImageDataStruct* odd = NewImage(0);
    odd->stTime.wHour = 25;
    odd->stTime.wMinute = 61;
    odd->stTime.wSecond = 60;
    odd->stTime.wMilliseconds = 1500;
    list.Add(odd);
    EXPECT_EQ(NameAt(list, 3), "235959999.bmp");
}

TEST(ImageList, SelectionTakingAndRemoving) {
    MemoryMedium medium;
    ImageList list(medium);
    for (int i = 0; i < 4; ++i) {
        list.Add(NewImage(i, 100 * i));
    }
    EXPECT_EQ(list.SetSelection(0, 0x100), 1); // low byte only: 0
    EXPECT_EQ(list.SetSelection(1, 0), 1);
    EXPECT_EQ(list.SetSelection(4, 1), 0);
    EXPECT_EQ(medium.info[0].bSelected, 0);
    int32_t size = -1;
    EXPECT_EQ(list.PendingImages(&size), 2);
    EXPECT_EQ(size, 1078 + 8);
    EXPECT_EQ(list.SelectedCount(), 2);

    ImageDataStruct* taken = list.TakeFirstSelected();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(ImageFileName(taken->stTime), "100000002.bmp");
    FreeImageRecord(taken);
    EXPECT_EQ(medium.files.count("100000002.bmp"), 0u);
    EXPECT_EQ(medium.info.size(), 3u);
    EXPECT_EQ(list.TakeAt(3), nullptr);
    EXPECT_EQ(list.RemoveAt(-1, true), 0);

    // A file that cannot be deleted: the image still leaves the list and the information file.
    medium.undeletable.insert("100000000.bmp");
    EXPECT_EQ(list.RemoveAt(0, true), 0);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(medium.info.size(), 2u);
    // Without files: memory only, the information file untouched (exit keeps everything).
    const int writes = medium.infoWrites;
    EXPECT_EQ(list.DeleteAll(false), 1);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(medium.files.size(), 3u);
    EXPECT_EQ(medium.infoWrites, writes);
    EXPECT_EQ(list.TakeFirstSelected(), nullptr);
    EXPECT_EQ(list.DeleteAll(true), 1);
}

TEST(ImageList, FailedWritesKeepImagesAndAreReportedOncePerRun) {
    MemoryMedium medium;
    ImageList list(medium);
    medium.failWrites = true;
    for (int i = 0; i < 3; ++i) {
        list.Add(NewImage(i));
    }
    EXPECT_EQ(list.Count(), 3);
    EXPECT_TRUE(list.IsUnsaved(0) && list.IsUnsaved(2));
    EXPECT_EQ(list.TakeNotice(StoreNotice::WriteFailed), true);
    EXPECT_EQ(list.TakeNotice(StoreNotice::WriteFailed), false);
    list.Add(NewImage(3));
    EXPECT_EQ(list.TakeNotice(StoreNotice::WriteFailed), false); // the same run of failures

    medium.failWrites = false;
    list.Add(NewImage(4)); // the earlier images are written with it
    EXPECT_EQ(medium.files.size(), 5u);
    EXPECT_FALSE(list.IsUnsaved(0));
    medium.failWrites = true;
    list.Add(NewImage(5));
    EXPECT_EQ(list.TakeNotice(StoreNotice::WriteFailed), true); // a new run
}

TEST(ImageList, LoadKeepsTheNewestValidEntriesAndRewritesALossyList) {
    MemoryMedium medium;
    {
        ImageList writer(medium);
        for (int i = 0; i < 64; ++i) {
            writer.Add(NewImage(i * 10, i));
        }
        writer.SetSelection(63, 0);
        writer.DeleteAll(false);
    }
    // Six more images listed before them (70 in all), one listed twice, one file missing, one
    // not a bitmap, one entry with a file number that is no time of day.
    std::vector<ImageInfoStuct> older;
    for (int i = 0; i < 6; ++i) {
        ImageDataStruct* extra = NewImage(50000 + i);
        medium.files[ImageFileName(extra->stTime)].assign(extra->pImageData,
                                                          extra->pImageData + extra->nImageSize);
        older.push_back({ImageFileNumber(extra->stTime), extra->stTime, 1});
        FreeImageRecord(extra);
    }
    medium.info.insert(medium.info.begin(), older.begin(), older.end());
    medium.info.push_back(medium.info[6 + 30]); // listed twice: the later entry counts
    medium.files.erase("100000100.bmp");
    medium.files["100000200.bmp"][0] = 'X';
    medium.info.push_back({246000000, {}, 1});
    const int writes = medium.infoWrites;

    ImageList list(medium);
    EXPECT_EQ(list.Load(), 64);
    // 62 of the original 64 survive, preceded by the two newest of the older six.
    EXPECT_EQ(NameAt(list, 0), "100050004.bmp");
    EXPECT_EQ(NameAt(list, 2), "100000000.bmp");
    EXPECT_EQ(NameAt(list, 62), "100000630.bmp");
    EXPECT_EQ(list.At(62)->bSelected, 0);
    EXPECT_EQ(NameAt(list, 63), "100000300.bmp");
    EXPECT_EQ(list.At(63)->nThumbnailSize, kThumbnailBytes);
    EXPECT_EQ(medium.infoWrites, writes + 1);
    EXPECT_EQ(medium.info.size(), 64u);

    // A clean list loads without a rewrite.
    ImageList again(medium);
    EXPECT_EQ(again.Load(), 64);
    EXPECT_EQ(medium.infoWrites, writes + 1);
}

// "ImageInfo.ini" lost (emptied by a cut rewrite, or unreadable): every valid file is offered
// again, selected, in the order of its name, with the date of the file; an entry whose file is
// gone is dropped; every adoption and drop is reported, and the list is rewritten once.
TEST(ImageList, LostListAdoptsEveryFileAndReportsIt) {
    MemoryMedium medium;
    {
        ImageList writer(medium);
        for (int ms : {300, 100, 200}) {
            writer.Add(NewImage(ms, ms));
        }
        writer.SetSelection(0, 0);
        writer.DeleteAll(false);
    }
    ASSERT_EQ(3u, medium.info.size());
    // The list keeps only the image of 100 ms and names one whose file is gone.
    medium.info.erase(medium.info.begin());
    medium.info.erase(medium.info.begin() + 1);
    ImageDataStruct* gone = NewImage(999);
    medium.info.push_back({ImageFileNumber(gone->stTime), gone->stTime, 1});
    FreeImageRecord(gone);
    medium.files["100000500.bmp"] = {'n', 'o', 't'};   // no bitmap: stays, not adopted
    medium.files["250000000.bmp"] = medium.files["100000100.bmp"];  // no time of day
    const int writes = medium.infoWrites;

    ImageList list(medium);
    EXPECT_EQ(3, list.Load());
    EXPECT_EQ("100000100.bmp", NameAt(list, 0));
    EXPECT_EQ("100000200.bmp", NameAt(list, 1));
    EXPECT_EQ("100000300.bmp", NameAt(list, 2));
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(1, list.At(i)->bSelected);
        EXPECT_EQ(2026, list.At(i)->stTime.wYear);
        EXPECT_EQ(8, list.At(i)->stTime.wDay);
        EXPECT_EQ(kThumbnailBytes, list.At(i)->nThumbnailSize);
    }
    EXPECT_EQ(medium.infoWrites, writes + 1) << "one rewrite for all changes";
    ASSERT_EQ(3u, medium.info.size());
    const std::vector<std::string> report = list.TakeReport();
    std::string all;
    for (const std::string& line : report) {
        all += line;
    }
    EXPECT_EQ(4u, report.size()) << all;
    EXPECT_NE(std::string::npos, all.find("100000999.bmp is listed but missing")) << all;
    EXPECT_NE(std::string::npos, all.find("100000200.bmp was not listed; it is adopted")) << all;
    EXPECT_NE(std::string::npos, all.find("100000300.bmp was not listed; it is adopted")) << all;
    EXPECT_NE(std::string::npos, all.find("100000500.bmp is not listed and not a valid")) << all;
    EXPECT_TRUE(list.TakeReport().empty());

    // The rewritten list loads as it is, with nothing to report.
    ImageList again(medium);
    EXPECT_EQ(3, again.Load());
    EXPECT_EQ(medium.infoWrites, writes + 1);
    EXPECT_EQ(1u, again.TakeReport().size()) << "only the invalid file, again";
    again.DeleteAll(false);
    list.DeleteAll(false);
}

// CONFIRM_IMAGE's removal: the id and the CRC must both match; a repeat finds nothing.
TEST(ImageList, RemoveMatchingNeedsIdAndCrc) {
    MemoryMedium medium;
    ImageList list(medium);
    list.Add(NewImage(100, 1000));
    list.Add(NewImage(200, 3000));
    const ImageDataStruct* second = list.At(1);
    const int32_t id = ImageFileNumber(second->stTime);
    const uint32_t crc = qor::Crc32(second->pImageData, static_cast<size_t>(second->nImageSize));
    const uint32_t firstCrc =
        qor::Crc32(list.At(0)->pImageData, static_cast<size_t>(list.At(0)->nImageSize));
    EXPECT_FALSE(list.RemoveMatching(id, crc ^ 1));
    EXPECT_FALSE(list.RemoveMatching(id, firstCrc)) << "another image's CRC";
    EXPECT_FALSE(list.RemoveMatching(id + 1, crc));
    EXPECT_EQ(2, list.Count());
    EXPECT_TRUE(list.RemoveMatching(id, crc));
    EXPECT_EQ(1, list.Count());
    EXPECT_EQ(0u, medium.files.count("100000200.bmp"));
    EXPECT_EQ(1u, medium.info.size());
    EXPECT_FALSE(list.RemoveMatching(id, crc)) << "a repeated confirmation changes nothing";
    EXPECT_EQ(1, list.Count());
}

// A read-only store: the delivered image's file stays, and it must not come back after a
// restart, whether the file can be deleted by then or not; a new image that reuses the name is
// not mistaken for it.
TEST(ImageList, DeliveredImageWhoseFileStaysIsNotOfferedAgain) {
    MemoryMedium medium;
    {
        ImageList list(medium);
        list.Add(NewImage(100, 1000));
        list.Add(NewImage(200, 3000));
        medium.undeletable.insert("100000100.bmp");
        const ImageDataStruct* first = list.At(0);
        EXPECT_TRUE(list.RemoveMatching(
            ImageFileNumber(first->stTime),
            qor::Crc32(first->pImageData, static_cast<size_t>(first->nImageSize))));
        EXPECT_EQ(1u, medium.files.count("100000100.bmp"));
        EXPECT_EQ(1u, medium.delivered.count("100000100.bmp"));
    }
    {
        ImageList stillReadOnly(medium);
        EXPECT_EQ(1, stillReadOnly.Load()) << "the delivered file is neither listed nor adopted";
        EXPECT_EQ("100000200.bmp", NameAt(stillReadOnly, 0));
    }
    medium.undeletable.clear();
    {
        ImageList writable(medium);
        EXPECT_EQ(1, writable.Load());
        EXPECT_EQ(0u, medium.files.count("100000100.bmp")) << "deleted once it can be";
        EXPECT_TRUE(medium.delivered.empty());
    }
    medium.delivered["100000200.bmp"] = 0x12345678;  // another image under that name
    ImageList other(medium);
    EXPECT_EQ(1, other.Load());
    EXPECT_TRUE(medium.delivered.empty());
}

using Names = std::vector<std::string>;

// "ImageInfo.ini" held open by another program at the start: read again while the load has
// waits left; a list that stays unreadable is not taken for an empty one (which would tick every
// image): the images are adopted unticked, the list is left as it is until the store changes,
// and the user is told once. A missing list is an empty one.
TEST(ImageList, ListThatCannotBeReadIsReadAgainAndNeverTicksAnImage) {
    struct Case {
        const char* name;
        int unreadableReads;  // -1: for good
        bool missing;
        int waits;
        Names offered;
        bool rewritten;
        bool told;
    } cases[] = {
        {"readable", 0, false, 0, {"100000100.bmp:1", "100000200.bmp:0", "100000300.bmp:1"},
         false, false},
        {"unreadable three times", 3, false, 3,
         {"100000100.bmp:1", "100000200.bmp:0", "100000300.bmp:1"}, false, false},
        {"readable at the last try", kLoadRetryWaits, false, kLoadRetryWaits,
         {"100000100.bmp:1", "100000200.bmp:0", "100000300.bmp:1"}, false, false},
        {"unreadable for good", -1, false, kLoadRetryWaits,
         {"100000100.bmp:0", "100000200.bmp:0", "100000300.bmp:0"}, false, true},
        {"missing", 0, true, 0, {"100000100.bmp:1", "100000200.bmp:1", "100000300.bmp:1"}, true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMedium medium;
        Stored(medium, {100, 200, 300}, {1});
        const Names before = Listed(medium);
        medium.unreadable["ImageInfo.ini"] = c.unreadableReads;
        medium.infoMissing = c.missing;
        const int writes = medium.infoWrites;

        ImageList list(medium);
        EXPECT_EQ(3, list.Load());
        EXPECT_EQ(c.offered, Offered(list));
        EXPECT_EQ(c.waits, medium.waits);
        EXPECT_EQ(c.rewritten ? writes + 1 : writes, medium.infoWrites);
        EXPECT_EQ(c.told, list.TakeNotice(StoreNotice::RecordsInDoubt));
        EXPECT_FALSE(list.TakeNotice(StoreNotice::RecordsInDoubt)) << "told once";
        const std::string report = Joined(list.TakeReport());
        EXPECT_EQ(c.told, report.find("the information file could not be read") !=
                              std::string::npos)
            << report;
        if (!c.rewritten) {
            EXPECT_EQ(before, Listed(medium)) << "the unread list is not overwritten at the start";
        }
        // The store changes: now the list is written as the store holds it.
        list.Add(NewImage(400, 400));
        Names expected = c.offered;
        expected.push_back("100000400.bmp:1");
        EXPECT_EQ(expected, Listed(medium));
        list.DeleteAll(false);
    }
}

// An image file held open by another program at the start: read again with the list; when it
// stays unreadable its entry keeps its place and selection in every list written this run (it
// is not offered, and no new image takes its name), and the next start loads it in its place.
TEST(ImageList, ImageFileThatCannotBeReadKeepsItsEntryAndItsPlace) {
    struct Case {
        const char* name;
        int unreadableReads;
        int waits;
        Names offered;
    } cases[] = {
        {"readable at the third try", 2, 2,
         {"100000100.bmp:1", "100000200.bmp:0", "100000300.bmp:1", "100000400.bmp:1"}},
        {"unreadable for good", -1, kLoadRetryWaits,
         {"100000100.bmp:1", "100000300.bmp:1", "100000400.bmp:1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMedium medium;
        Stored(medium, {100, 200, 300, 400}, {1});
        const Names stored = Listed(medium);
        medium.unreadable["100000200.bmp"] = c.unreadableReads;
        {
            ImageList list(medium);
            EXPECT_EQ(static_cast<int>(c.offered.size()), list.Load());
            EXPECT_EQ(c.offered, Offered(list));
            EXPECT_EQ(c.waits, medium.waits);
            EXPECT_EQ(stored, Listed(medium));
            int32_t size = 0;
            EXPECT_EQ(3, list.PendingImages(&size));
            EXPECT_EQ(list.At(0)->nImageSize, size);
            // New images, one in the millisecond of the unread file, and a deletion by the user.
            list.Add(NewImage(200, 500));
            list.Add(NewImage(600, 600));
            EXPECT_EQ(1, list.RemoveAt(list.Count() - 1, true));
            EXPECT_EQ(1u, medium.files.count("100000201.bmp"));
            Names expected = stored;
            expected.push_back("100000201.bmp:1");
            EXPECT_EQ(expected, Listed(medium));
            if (c.unreadableReads < 0) {
                EXPECT_NE(std::string::npos,
                          Joined(list.TakeReport())
                              .find("100000200.bmp is listed but cannot be read"));
                // What the user sees goes; the entry kept for the unread file stays.
                EXPECT_EQ(1, list.DeleteAll(true));
                EXPECT_EQ(Names{"100000200.bmp:0"}, Listed(medium));
                EXPECT_EQ(1u, medium.files.count("100000200.bmp"));
            }
            list.DeleteAll(false);
        }
        if (c.unreadableReads < 0) {
            medium.unreadable.clear();
            ImageList next(medium);
            EXPECT_EQ(1, next.Load());
            EXPECT_EQ(Names{"100000200.bmp:0"}, Offered(next)) << "in its place, unticked";
            next.DeleteAll(false);
        }
    }
}

// The record of an image that left the store with its file on disk ends only when the file is
// missing or holds other bytes: a file that is only unreadable at one start keeps it, and is
// neither offered nor ticked. A record that cannot be read leaves every image unticked.
TEST(ImageList, DeliveredRecordEndsOnlyForAMissingFileOrOtherBytes) {
    struct Case {
        const char* name;
        void (*before)(MemoryMedium&);
        Names offered;
        bool recordKept;
        bool fileKept;
        bool told;
    } cases[] = {
        {"still undeletable", [](MemoryMedium&) {}, {"100000200.bmp:1"}, true, true, false},
        {"unreadable at this start",
         [](MemoryMedium& m) { m.unreadable["100000100.bmp"] = -1; }, {"100000200.bmp:1"}, true,
         true, false},
        {"deletable now", [](MemoryMedium& m) { m.undeletable.clear(); }, {"100000200.bmp:1"},
         false, false, false},
        {"missing", [](MemoryMedium& m) { m.files.erase("100000100.bmp"); }, {"100000200.bmp:1"},
         false, false, false},
        {"another image under its name",
         [](MemoryMedium& m) {
             ImageDataStruct* other = NewImage(100, 4000);
             m.files["100000100.bmp"].assign(other->pImageData,
                                             other->pImageData + other->nImageSize);
             FreeImageRecord(other);
         },
         {"100000200.bmp:1", "100000100.bmp:1"}, false, true, false},
        {"record unreadable", [](MemoryMedium& m) { m.deliveredUnreadable = true; },
         {"100000200.bmp:0"}, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMedium medium;
        Stored(medium, {100, 200});
        const uint32_t crc = CrcOfFile(medium, "100000100.bmp");
        medium.undeletable.insert("100000100.bmp");
        {
            ImageList list(medium);
            list.Load();
            EXPECT_TRUE(list.RemoveMatching(100000100, crc));
            list.DeleteAll(false);
        }
        ASSERT_EQ(1u, medium.delivered.count("100000100.bmp"));
        c.before(medium);

        ImageList list(medium);
        list.Load();
        EXPECT_EQ(c.offered, Offered(list));
        EXPECT_EQ(c.recordKept, medium.delivered.count("100000100.bmp") == 1);
        EXPECT_EQ(c.fileKept, medium.files.count("100000100.bmp") == 1);
        EXPECT_EQ(c.told, list.TakeNotice(StoreNotice::RecordsInDoubt));
        list.DeleteAll(false);
    }
}

// Every way an image leaves the store for good (deleted in the preview or with "Delete All",
// sent, confirmed): a file that cannot be deleted is recorded with the image's CRC-32, so that
// no restart offers or ticks it again; once it can be deleted, the next start deletes it.
TEST(ImageList, ImageLeavingWithItsFileOnDiskNeverComesBack) {
    struct Case {
        const char* way;
        int (*leave)(ImageList&);  // what the way reports
        int reported;
    } cases[] = {
        {"deleted in the preview", [](ImageList& l) { return l.RemoveAt(0, true); }, 0},
        {"Delete All", [](ImageList& l) { return l.DeleteAll(true); }, 0},
        {"sent", [](ImageList& l) {
             FreeImageRecord(l.TakeFirstSelected());
             return 0;
         }, 0},
        {"taken", [](ImageList& l) {
             FreeImageRecord(l.TakeAt(0));
             return 0;
         }, 0},
        {"confirmed", [](ImageList& l) {
             const ImageDataStruct* r = l.At(0);
             return l.RemoveMatching(ImageFileNumber(r->stTime),
                                     qor::Crc32(r->pImageData, static_cast<size_t>(r->nImageSize)))
                        ? 0
                        : 1;
         }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.way);
        MemoryMedium medium;
        Stored(medium, {100, 200}, {1});
        const uint32_t crc = CrcOfFile(medium, "100000100.bmp");
        medium.undeletable.insert("100000100.bmp");
        {
            ImageList list(medium);
            list.Load();
            EXPECT_EQ(c.reported, c.leave(list));
            list.DeleteAll(false);
        }
        EXPECT_EQ(1u, medium.files.count("100000100.bmp"));
        ASSERT_EQ(1u, medium.delivered.count("100000100.bmp"));
        EXPECT_EQ(crc, medium.delivered["100000100.bmp"]);
        for (const bool deletable : {false, true}) {
            SCOPED_TRACE(deletable ? "deletable at the next start" : "still undeletable");
            if (deletable) {
                medium.undeletable.clear();
            }
            ImageList next(medium);
            next.Load();
            for (int i = 0; i < next.Count(); ++i) {
                EXPECT_NE("100000100.bmp", NameAt(next, i));
            }
            next.DeleteAll(false);
        }
        EXPECT_EQ(0u, medium.files.count("100000100.bmp"));
        EXPECT_TRUE(medium.delivered.empty());
    }
}

// The 65th image: the oldest image that no client holds on loan leaves the store with its file
// moved into the folder of older images (never deleted); a file that cannot be moved is passed
// over; with nothing movable the store keeps the new image as well and says so.
TEST(ImageList, FullStoreMovesItsOldestImageNotLentIntoOlderImages) {
    struct Case {
        const char* name;
        std::vector<int> lent;      // indexes lent
        std::vector<int> returned;  // indexes lent and given back
        bool clearLent;
        std::vector<int> unmovable;
        int movedOut;               // index moved out, -1 none
    } cases[] = {
        {"nothing lent", {}, {}, false, {}, 0},
        {"the oldest lent", {0}, {}, false, {}, 1},
        {"the oldest lent and given back", {0}, {0}, false, {}, 0},
        {"loans cleared", {0, 1}, {}, true, {}, 0},
        {"the oldest cannot be moved", {1}, {}, false, {0}, 2},
        {"all lent", {}, {}, false, {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryMedium medium;
        ImageList list(medium);
        for (int i = 0; i < kMaxStoredImages; ++i) {
            list.Add(NewImage(i * 10, i));
        }
        const auto id = [](int index) { return 100000000 + index * 10; };
        const auto name = [&](int index) { return ImageFileNameOfNumber(id(index)); };
        if (c.movedOut < 0) {
            for (int i = 0; i < kMaxStoredImages; ++i) {
                list.SetLent(id(i), true);
            }
        }
        for (const int i : c.lent) {
            list.SetLent(id(i), true);
        }
        for (const int i : c.returned) {
            list.SetLent(id(i), false);
        }
        if (c.clearLent) {
            list.ClearLent();
        }
        for (const int i : c.unmovable) {
            medium.unmovable.insert(name(i));
        }
        list.TakeReport();
        EXPECT_EQ(c.movedOut >= 0 ? 1 : 0, list.Add(NewImage(5000, 5000)));
        EXPECT_EQ(c.movedOut >= 0, list.TakeNotice(StoreNotice::OldestMovedOut));
        EXPECT_EQ(c.movedOut < 0, list.TakeNotice(StoreNotice::NoRoomMade));
        const std::string report = Joined(list.TakeReport());
        if (c.movedOut >= 0) {
            EXPECT_EQ(kMaxStoredImages, list.Count());
            EXPECT_EQ(Names{name(c.movedOut)}, [&] {
                Names moved;
                for (const auto& file : medium.older) {
                    moved.push_back(file.first);
                }
                return moved;
            }());
            EXPECT_EQ(0u, medium.files.count(name(c.movedOut)));
            EXPECT_NE(std::string::npos, report.find(name(c.movedOut) + " is moved")) << report;
            for (int i = 0; i < list.Count(); ++i) {
                EXPECT_NE(name(c.movedOut), NameAt(list, i));
            }
        } else {
            EXPECT_EQ(kMaxStoredImages + 1, list.Count()) << "the new image is kept as well";
            EXPECT_TRUE(medium.older.empty());
            EXPECT_EQ(static_cast<size_t>(kMaxStoredImages + 1), medium.files.size());
            EXPECT_NE(std::string::npos, report.find("no image could be moved out")) << report;
        }
        EXPECT_EQ(static_cast<size_t>(kMaxStoredImages), medium.info.size());
        EXPECT_EQ(1u, medium.files.count("100005000.bmp"));
        list.DeleteAll(false);
    }
}

} // namespace
