#include "app/core/image_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"
#include "common/core/crc32.h"

ImageList::~ImageList() {
    for (Node& node : m_nodes) {
        FreeImageRecord(node.record);
    }
}

namespace {

std::string Line(const char* format, const std::string& name) {
    char line[256];
    std::snprintf(line, sizeof line, format, name.c_str());
    return line;
}

} // namespace

void ImageList::SettleDeliveredImages() {
    for (const auto& [name, crc] : m_medium.DeliveredImages()) {
        size_t size = 0;
        uint8_t* bytes = m_medium.ReadImageFile(name, &size);
        const bool same = bytes != nullptr && qor::Crc32(bytes, size) == crc;
        std::free(bytes);
        // A file of another image under the same name is not the delivered one.
        if (!same) {
            m_medium.ForgetDelivered(name);
            continue;
        }
        if (m_medium.DeleteImageFile(name) == StoreMedium::Removal::Failed) {
            m_DeliveredOnDisk.insert(name);
            m_LoadReport.push_back(Line("CImageQueue: Load: %s was delivered already and still "
                                        "cannot be deleted; it is not offered again.\n",
                                        name));
            continue;
        }
        m_medium.ForgetDelivered(name);
        m_LoadReport.push_back(
            Line("CImageQueue: Load: %s was delivered already; its file is deleted now.\n", name));
    }
}

void ImageList::RemoveDelivered(int index) {
    const ImageDataStruct* record = m_nodes[static_cast<size_t>(index)].record;
    const std::string name = ImageFileName(record->stTime);
    const uint32_t crc = qor::Crc32(record->pImageData, static_cast<size_t>(record->nImageSize));
    if (Remove(index, true) == 0) {
        m_medium.RememberDelivered(name, crc);
    }
    StoreInfo();
}

int ImageList::Load() {
    SettleDeliveredImages();
    std::vector<ImageInfoStuct> entries;
    if (!m_medium.ReadInfo(entries)) {
        entries.clear();
        m_LoadReport.push_back(
            "CImageQueue: Load: the information file could not be read; the image files in the "
            "Images folder are adopted instead.\n");
    }
    // Newest first, so that a file listed twice keeps its latest entry and a list longer than
    // the store keeps its newest images; the kept ones are appended oldest first.
    std::vector<Node> loaded;
    std::set<int32_t> seen;
    size_t looked = 0;
    for (auto entry = entries.rbegin();
         entry != entries.rend() && loaded.size() + m_nodes.size() < kMaxStoredImages; ++entry) {
        ++looked;
        ImageTime time = entry->stTime;
        // The file number names the file; the record's time of day follows it, so that the
        // name made from the record later is the same file.
        if (!TimeOfDayFromFileNumber(entry->nFileNumber, time)) {
            char number[16];
            std::snprintf(number, sizeof number, "%d", static_cast<int>(entry->nFileNumber));
            m_LoadReport.push_back(Line("CImageQueue: Load: an entry with the file number %s "
                                        "names no image file; it is dropped.\n",
                                        number));
            continue;
        }
        const std::string name = ImageFileNameOfNumber(entry->nFileNumber);
        if (!seen.insert(entry->nFileNumber).second) {
            m_LoadReport.push_back(
                Line("CImageQueue: Load: %s is listed twice; the older entry is dropped.\n", name));
            continue;
        }
        if (m_DeliveredOnDisk.count(name) != 0) {
            continue;
        }
        size_t size = 0;
        uint8_t* bytes = m_medium.ReadImageFile(name, &size);
        if (bytes == nullptr) {
            m_LoadReport.push_back(Line("CImageQueue: Load: %s is listed but missing or "
                                        "unreadable; its entry is dropped.\n",
                                        name));
            continue;
        }
        ImageDataStruct* record = NewImageRecord();
        if (record == nullptr) {
            std::free(bytes);
            continue;
        }
        record->pImageData = bytes;
        record->nImageSize = static_cast<int32_t>(size);
        record->bSelected = entry->bSelected;
        record->stTime = time;
        if (!IsValidGray8Bitmap(bytes, size) ||
            !MakeThumbnail(bytes, &record->pThumbnailData, &record->nThumbnailSize)) {
            FreeImageRecord(record);
            m_LoadReport.push_back(Line("CImageQueue: Load: %s is listed but not a valid 8-bit "
                                        "bitmap; its entry is dropped (the file stays).\n",
                                        name));
            continue;
        }
        loaded.push_back({record, true});
    }
    if (looked < entries.size()) {
        char count[16];
        std::snprintf(count, sizeof count, "%d", static_cast<int>(entries.size() - looked));
        m_LoadReport.push_back(Line("CImageQueue: Load: %s older entries beyond the store's 64 "
                                    "images are dropped; their files stay in the Images "
                                    "folder.\n",
                                    count));
    }
    m_nodes.insert(m_nodes.end(), loaded.rbegin(), loaded.rend());
    // Every listed number counts as named, also where the entry was dropped: a file that failed
    // as a listed image fails as an unlisted one too.
    for (const ImageInfoStuct& entry : entries) {
        seen.insert(entry.nFileNumber);
    }
    const bool adopted = AdoptUnlistedFiles(seen);
    // Entry i of the information file must stay image i, so a list that lost entries or gained
    // adopted ones is written again at once.
    if (loaded.size() != entries.size() || adopted) {
        StoreInfo();
    }
    return Count();
}

bool ImageList::AdoptUnlistedFiles(const std::set<int32_t>& listed) {
    std::vector<StoreMedium::StoredFile> files = m_medium.ListImageFiles();
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    bool adopted = false;
    for (const StoreMedium::StoredFile& file : files) {
        const int32_t number = FileNumberOfName(file.name);
        if (number < 0 || listed.count(number) != 0) {
            continue;
        }
        const std::string name = ImageFileNameOfNumber(number);
        if (m_DeliveredOnDisk.count(name) != 0) {
            continue;
        }
        if (Count() >= kMaxStoredImages) {
            m_LoadReport.push_back(Line("CImageQueue: Load: %s is not listed and the store is "
                                        "full; it stays in the Images folder.\n",
                                        name));
            continue;
        }
        size_t size = 0;
        uint8_t* bytes = m_medium.ReadImageFile(file.name, &size);
        ImageDataStruct* record = bytes != nullptr ? NewImageRecord() : nullptr;
        if (record == nullptr) {
            std::free(bytes);
            m_LoadReport.push_back(Line("CImageQueue: Load: %s is not listed and cannot be "
                                        "read; it stays in the Images folder.\n",
                                        name));
            continue;
        }
        record->pImageData = bytes;
        record->nImageSize = static_cast<int32_t>(size);
        record->bSelected = 1;
        record->stTime = file.date;
        TimeOfDayFromFileNumber(number, record->stTime);
        if (!IsValidGray8Bitmap(bytes, size) ||
            !MakeThumbnail(bytes, &record->pThumbnailData, &record->nThumbnailSize)) {
            FreeImageRecord(record);
            m_LoadReport.push_back(Line("CImageQueue: Load: %s is not listed and not a valid "
                                        "8-bit bitmap; it stays in the Images folder.\n",
                                        name));
            continue;
        }
        m_nodes.push_back({record, true});
        adopted = true;
        m_LoadReport.push_back(
            Line("CImageQueue: Load: %s was not listed; it is adopted as a selected image.\n", name));
    }
    return adopted;
}

std::vector<std::string> ImageList::TakeLoadReport() {
    return std::exchange(m_LoadReport, {});
}

ImageDataStruct* ImageList::At(int index) const {
    return index >= 0 && index < Count() ? m_nodes[static_cast<size_t>(index)].record : nullptr;
}

int ImageList::SelectedCount() const {
    return static_cast<int>(std::count_if(m_nodes.begin(), m_nodes.end(),
                                          [](const Node& n) { return n.record->bSelected != 0; }));
}

int ImageList::FillLevel() const {
    if (Count() >= kMaxStoredImages) {
        return 2;
    }
    return Count() >= kNearlyFullImages ? 1 : 0;
}

int ImageList::PendingImages(int32_t* firstSelectedSize) const {
    int32_t size = 0;
    for (const Node& node : m_nodes) {
        if (node.record->bSelected != 0) {
            size = node.record->nImageSize;
            break;
        }
    }
    if (firstSelectedSize != nullptr) {
        *firstSelectedSize = size;
    }
    return SelectedCount();
}

void ImageList::MakeNameDistinct(ImageDataStruct& record) const {
    // A time outside the day would name a file that the next start cannot find again.
    ImageTime& t = record.stTime;
    t.wHour = std::min<uint16_t>(t.wHour, 23);
    t.wMinute = std::min<uint16_t>(t.wMinute, 59);
    t.wSecond = std::min<uint16_t>(t.wSecond, 59);
    t.wMilliseconds = std::min<uint16_t>(t.wMilliseconds, 999);
    // Each step frees at most one clash, so at most one step per listed image.
    for (int step = 0; step <= Count(); ++step) {
        const std::string name = ImageFileName(record.stTime);
        const bool taken = std::any_of(m_nodes.begin(), m_nodes.end(), [&](const Node& n) {
            return ImageFileName(n.record->stTime) == name;
        });
        if (!taken) {
            return;
        }
        AdvanceOneMillisecond(record.stTime);
    }
}

bool ImageList::WriteFile(Node& node) {
    const ImageDataStruct& record = *node.record;
    node.onDisk = record.pImageData != nullptr && record.nImageSize > 0 &&
                  m_medium.WriteImageFile(ImageFileName(record.stTime), record.pImageData,
                                          static_cast<size_t>(record.nImageSize));
    if (node.onDisk) {
        m_bWriteFailing = false;
    } else if (!m_bWriteFailing) {
        // One notice for a run of failures, not one per image.
        m_bWriteFailing = true;
        m_bWriteFailureNotice = true;
    }
    return node.onDisk;
}

void ImageList::WriteUnsavedFiles() {
    for (Node& node : m_nodes) {
        if (!node.onDisk && !WriteFile(node)) {
            return; // the medium still fails; the next change tries again
        }
    }
}

int ImageList::Add(ImageDataStruct* record) {
    if (record == nullptr) {
        return 0;
    }
    MakeNameDistinct(*record);
    Node node{record, false};
    WriteFile(node);
    int result = 1;
    if (Count() >= kMaxStoredImages) {
        result = RemoveAt(0, true);
    }
    m_nodes.push_back(node);
    StoreInfo();
    return result;
}

ImageDataStruct* ImageList::Unlink(int index) {
    if (index < 0 || index >= Count()) {
        return nullptr;
    }
    ImageDataStruct* record = m_nodes[static_cast<size_t>(index)].record;
    m_nodes.erase(m_nodes.begin() + index);
    return record;
}

int ImageList::RemoveAt(int index, bool deleteFile) {
    const int result = Remove(index, deleteFile);
    if (result != kNoRecord && deleteFile) {
        StoreInfo();
    }
    return result == 1 ? 1 : 0;
}

int ImageList::Remove(int index, bool deleteFile) {
    ImageDataStruct* record = Unlink(index);
    if (record == nullptr) {
        return kNoRecord;
    }
    int result = 1;
    if (deleteFile &&
        m_medium.DeleteImageFile(ImageFileName(record->stTime)) == StoreMedium::Removal::Failed) {
        result = 0;
    }
    FreeImageRecord(record);
    return result;
}

ImageDataStruct* ImageList::TakeAt(int index) {
    ImageDataStruct* record = Unlink(index);
    if (record != nullptr) {
        // The image leaves the store whether or not its file goes: the information file no
        // longer lists it, so it is not loaded again.
        m_medium.DeleteImageFile(ImageFileName(record->stTime));
        StoreInfo();
    }
    return record;
}

ImageDataStruct* ImageList::TakeFirstSelected() {
    for (int i = 0; i < Count(); ++i) {
        if (m_nodes[static_cast<size_t>(i)].record->bSelected != 0) {
            return TakeAt(i);
        }
    }
    return nullptr;
}

int ImageList::DeleteAll(bool deleteFiles) {
    int result = 1;
    for (int n = Count(); n > 0; --n) {
        if (Remove(0, deleteFiles) != 1) {
            result = 0;
        }
    }
    // One rewrite for the whole deletion: one per image takes about a second for a full store.
    if (deleteFiles) {
        StoreInfo();
    }
    return result;
}

int ImageList::SetSelection(int index, int value) {
    ImageDataStruct* record = At(index);
    if (record == nullptr) {
        return 0;
    }
    record->bSelected = value & 0xFF;
    // The whole list is replaced: an entry changed in place could be cut short by a kill.
    return StoreInfo() != 0 && m_bInfoWritten ? 1 : 0;
}

int ImageList::StoreInfo() {
    WriteUnsavedFiles();
    std::vector<ImageDataStruct*> records;
    for (size_t i = 0; i < m_nodes.size() && i < kMaxStoredImages; ++i) {
        records.push_back(m_nodes[i].record);
    }
    m_bInfoWritten = m_medium.WriteInfo(records.data(), static_cast<int>(records.size())) != 0;
    return 1;
}

int ImageList::TakeWriteFailureNotice() {
    const bool notice = m_bWriteFailureNotice;
    m_bWriteFailureNotice = false;
    return notice ? 1 : 0;
}

bool ImageList::IsUnsaved(int index) const {
    return index >= 0 && index < Count() && !m_nodes[static_cast<size_t>(index)].onDisk;
}

int ImageList::UnsavedCount() const {
    return static_cast<int>(
        std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) { return !n.onDisk; }));
}

int ImageList::SaveUnsaved() {
    if (UnsavedCount() > 0) {
        StoreInfo();
    }
    return UnsavedCount();
}

bool ImageList::RemoveMatching(int32_t imageId, uint32_t crc) {
    for (int i = 0; i < Count(); ++i) {
        const ImageDataStruct* record = m_nodes[static_cast<size_t>(i)].record;
        if (ImageFileNumber(record->stTime) == imageId && record->pImageData != nullptr &&
            record->nImageSize > 0 &&
            qor::Crc32(record->pImageData, static_cast<size_t>(record->nImageSize)) == crc) {
            RemoveDelivered(i);
            return true;
        }
    }
    return false;
}
