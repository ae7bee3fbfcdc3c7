#include "app/core/image_list.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"

ImageList::~ImageList() {
    for (Node& node : m_nodes) {
        FreeImageRecord(node.record);
    }
}

int ImageList::Load() {
    std::vector<ImageInfoStuct> entries;
    if (!m_medium.ReadInfo(entries)) {
        return 0;
    }
    // Newest first, so that a file listed twice keeps its latest entry and a list longer than
    // the store keeps its newest images; the kept ones are appended oldest first.
    std::vector<Node> loaded;
    std::set<int32_t> seen;
    for (auto entry = entries.rbegin();
         entry != entries.rend() && loaded.size() + m_nodes.size() < kMaxStoredImages; ++entry) {
        ImageTime time = entry->stTime;
        // The file number names the file; the record's time of day follows it, so that the
        // name made from the record later is the same file.
        if (!TimeOfDayFromFileNumber(entry->nFileNumber, time) ||
            !seen.insert(entry->nFileNumber).second) {
            continue;
        }
        size_t size = 0;
        uint8_t* bytes = m_medium.ReadImageFile(ImageFileNameOfNumber(entry->nFileNumber), &size);
        if (bytes == nullptr) {
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
            continue;
        }
        loaded.push_back({record, true});
    }
    m_nodes.insert(m_nodes.end(), loaded.rbegin(), loaded.rend());
    // Entry i of the information file must stay image i (selection updates go by index), so a
    // list that lost entries is written again at once.
    if (loaded.size() != entries.size()) {
        StoreInfo();
    }
    return static_cast<int>(loaded.size());
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
    return m_medium.WriteSelection(index, record->bSelected);
}

int ImageList::StoreInfo() {
    WriteUnsavedFiles();
    std::vector<ImageDataStruct*> records;
    for (size_t i = 0; i < m_nodes.size() && i < kMaxStoredImages; ++i) {
        records.push_back(m_nodes[i].record);
    }
    m_medium.WriteInfo(records.data(), static_cast<int>(records.size()));
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
