#include "app/core/image_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"
#include "common/core/crc32.h"

using ReadResult = StoreMedium::ReadResult;

ImageList::~ImageList() {
    for (Node& node : m_nodes) {
        FreeImageRecord(node.record);
    }
}

namespace {

std::string Line(const char* format, const std::string& name) {
    char line[320];
    std::snprintf(line, sizeof line, format, name.c_str());
    return line;
}

uint32_t CrcOf(const ImageDataStruct& record) {
    return record.pImageData != nullptr && record.nImageSize > 0
               ? qor::Crc32(record.pImageData, static_cast<size_t>(record.nImageSize))
               : 0;
}

} // namespace

template <typename Read>
ReadResult ImageList::ReadRetrying(Read read) {
    for (;;) {
        const ReadResult result = read();
        if (result != ReadResult::Unreadable || m_nRetryWaitsLeft <= 0) {
            return result;
        }
        --m_nRetryWaitsLeft;
        m_medium.WaitBeforeRetry();
    }
}

void ImageList::SettleDeliveredImages() {
    std::vector<StoreMedium::DeliveredImage> delivered;
    const ReadResult record = ReadRetrying([&] {
        delivered.clear();
        return m_medium.ReadDelivered(delivered);
    });
    if (record == ReadResult::Unreadable) {
        m_bInDoubt = true;
        m_Report.push_back("CImageQueue: Load: the record of delivered images could not be read "
                           "(another program may hold it open); every image is loaded unselected. "
                           "Close that program and tick the images to transfer in the preview.\n");
    }
    for (const StoreMedium::DeliveredImage& image : delivered) {
        uint8_t* bytes = nullptr;
        size_t size = 0;
        const ReadResult read =
            ReadRetrying([&] { return m_medium.ReadImageFile(image.name, &bytes, &size); });
        if (read == ReadResult::Unreadable) {
            // It may well be the delivered image: only a missing file or other bytes end the
            // record.
            m_DeliveredOnDisk.insert(image.name);
            m_Report.push_back(Line("CImageQueue: Load: %s was delivered already and cannot be "
                                    "read now; it is not offered again and stays recorded.\n",
                                    image.name));
            continue;
        }
        const bool same = read == ReadResult::Read && qor::Crc32(bytes, size) == image.crc;
        std::free(bytes);
        // A file of another image under the same name is not the delivered one.
        if (!same) {
            m_medium.ForgetDelivered(image.name);
            continue;
        }
        if (m_medium.DeleteImageFile(image.name) == StoreMedium::Removal::Failed) {
            m_DeliveredOnDisk.insert(image.name);
            m_Report.push_back(Line("CImageQueue: Load: %s was delivered already and still "
                                    "cannot be deleted; it is not offered again.\n",
                                    image.name));
            continue;
        }
        m_medium.ForgetDelivered(image.name);
        m_Report.push_back(Line(
            "CImageQueue: Load: %s was delivered already; its file is deleted now.\n", image.name));
    }
}

bool ImageList::LoadNode(const std::string& name, const ImageTime& time, int32_t selected,
                         bool listed, Node& node) {
    uint8_t* bytes = nullptr;
    size_t size = 0;
    const ReadResult read = ReadRetrying([&] { return m_medium.ReadImageFile(name, &bytes, &size); });
    if (read == ReadResult::Missing) {
        m_Report.push_back(Line(listed ? "CImageQueue: Load: %s is listed but missing; its entry "
                                         "is dropped.\n"
                                       : "CImageQueue: Load: %s is not listed and holds no image; "
                                         "it stays in the Images folder.\n",
                                name));
        return false;
    }
    ImageDataStruct* record = NewImageRecord();
    if (record == nullptr) {
        std::free(bytes);
        return false;
    }
    record->bSelected = selected;
    record->stTime = time;
    if (read == ReadResult::Unreadable) {
        // Kept in the list in its place: the next start loads it with its selection.
        node = {record, true, true};
        m_Report.push_back(Line(
            listed ? "CImageQueue: Load: %s is listed but cannot be read (another program may "
                     "hold it open); its entry is kept and the image loads at the next start. "
                     "Close that program.\n"
                   : "CImageQueue: Load: %s is not listed and cannot be read (another program may "
                     "hold it open); it is listed now and loads at the next start. Close that "
                     "program.\n",
            name));
        return true;
    }
    record->pImageData = bytes;
    record->nImageSize = static_cast<int32_t>(size);
    if (!IsValidGray8Bitmap(bytes, size) ||
        !MakeThumbnail(bytes, &record->pThumbnailData, &record->nThumbnailSize)) {
        FreeImageRecord(record);
        m_Report.push_back(Line(listed ? "CImageQueue: Load: %s is listed but not a valid 8-bit "
                                         "bitmap; its entry is dropped (the file stays).\n"
                                       : "CImageQueue: Load: %s is not listed and not a valid "
                                         "8-bit bitmap; it stays in the Images folder.\n",
                                name));
        return false;
    }
    node = {record, true, false};
    return true;
}

int ImageList::Load() {
    m_nRetryWaitsLeft = kLoadRetryWaits;
    SettleDeliveredImages();
    std::vector<ImageInfoStuct> entries;
    const ReadResult list = ReadRetrying([&] {
        entries.clear();
        return m_medium.ReadInfo(entries);
    });
    if (list == ReadResult::Unreadable) {
        entries.clear();
        m_bInDoubt = true;
        m_Report.push_back(
            "CImageQueue: Load: the information file could not be read (another program may hold "
            "it open); the image files in the Images folder are adopted unselected and the file "
            "is left as it is until the store changes. Tick the images to transfer in the "
            "preview.\n");
    }
    // Newest first, so that a file listed twice keeps its latest entry and a list longer than
    // the store keeps its newest images; the kept ones are appended oldest first.
    std::vector<Node> kept;
    std::set<int32_t> seen;
    size_t looked = 0;
    for (auto entry = entries.rbegin();
         entry != entries.rend() && kept.size() + m_nodes.size() < kMaxStoredImages; ++entry) {
        ++looked;
        ImageTime time = entry->stTime;
        // The file number names the file; the record's time of day follows it, so that the
        // name made from the record later is the same file.
        if (!TimeOfDayFromFileNumber(entry->nFileNumber, time)) {
            char number[16];
            std::snprintf(number, sizeof number, "%d", static_cast<int>(entry->nFileNumber));
            m_Report.push_back(Line("CImageQueue: Load: an entry with the file number %s "
                                    "names no image file; it is dropped.\n",
                                    number));
            continue;
        }
        const std::string name = ImageFileNameOfNumber(entry->nFileNumber);
        if (!seen.insert(entry->nFileNumber).second) {
            m_Report.push_back(
                Line("CImageQueue: Load: %s is listed twice; the older entry is dropped.\n", name));
            continue;
        }
        if (m_DeliveredOnDisk.count(name) != 0) {
            continue;
        }
        Node node{};
        if (LoadNode(name, time, m_bInDoubt ? 0 : entry->bSelected, true, node)) {
            kept.push_back(node);
        }
    }
    if (looked < entries.size()) {
        char count[16];
        std::snprintf(count, sizeof count, "%d", static_cast<int>(entries.size() - looked));
        m_Report.push_back(Line("CImageQueue: Load: %s older entries beyond the store's 64 "
                                "images are dropped; their files stay in the Images folder.\n",
                                count));
    }
    m_nodes.insert(m_nodes.end(), kept.rbegin(), kept.rend());
    // Every listed number counts as named, also where the entry was dropped: a file that failed
    // as a listed image fails as an unlisted one too.
    for (const ImageInfoStuct& entry : entries) {
        seen.insert(entry.nFileNumber);
    }
    const bool adopted = AdoptUnlistedFiles(seen);
    if (m_bInDoubt) {
        // What the unreadable file says is unknown: it is replaced only once the store changes.
        m_Notices.insert(StoreNotice::RecordsInDoubt);
    } else if (kept.size() != entries.size() || adopted) {
        // Entry i of the information file must stay image i, so a list that lost entries or
        // gained adopted ones is written again at once.
        StoreInfo();
    }
    return Count();
}

bool ImageList::AdoptUnlistedFiles(const std::set<int32_t>& listed) {
    std::vector<StoreMedium::StoredFile> files = m_medium.ListImageFiles();
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    // Unticked only when the load is in doubt: the lost list may have unticked it.
    const int32_t selected = m_bInDoubt ? 0 : 1;
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
        if (m_nodes.size() >= kMaxStoredImages) {
            m_Report.push_back(Line("CImageQueue: Load: %s is not listed and the store is "
                                    "full; it stays in the Images folder.\n",
                                    name));
            continue;
        }
        ImageTime time = file.date;
        TimeOfDayFromFileNumber(number, time);
        Node node{};
        if (!LoadNode(name, time, selected, false, node)) {
            continue;
        }
        m_nodes.push_back(node);
        adopted = true;
        if (!node.unread) {
            m_Report.push_back(Line(selected != 0 ? "CImageQueue: Load: %s was not listed; it is "
                                                    "adopted as a selected image.\n"
                                                  : "CImageQueue: Load: %s was not listed; it is "
                                                    "adopted as an unselected image.\n",
                                    name));
        }
    }
    return adopted;
}

std::vector<std::string> ImageList::TakeReport() {
    return std::exchange(m_Report, {});
}

int ImageList::Count() const {
    return static_cast<int>(
        std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) { return !n.unread; }));
}

int ImageList::NodeIndex(int index) const {
    for (size_t i = 0; index >= 0 && i < m_nodes.size(); ++i) {
        if (!m_nodes[i].unread && index-- == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

ImageDataStruct* ImageList::At(int index) const {
    const int node = NodeIndex(index);
    return node >= 0 ? m_nodes[static_cast<size_t>(node)].record : nullptr;
}

int ImageList::SelectedCount() const {
    return static_cast<int>(std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) {
        return !n.unread && n.record->bSelected != 0;
    }));
}

int ImageList::FillLevel() const {
    // Entries kept for unreadable files take room in the list too.
    const size_t entries = m_nodes.size();
    if (entries >= kMaxStoredImages) {
        return 2;
    }
    return entries >= kNearlyFullImages ? 1 : 0;
}

int ImageList::PendingImages(int32_t* firstSelectedSize) const {
    int32_t size = 0;
    for (const Node& node : m_nodes) {
        if (!node.unread && node.record->bSelected != 0) {
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
    // Each step frees at most one clash, so at most one step per name in use. Files kept for
    // the delivered record and entries kept for unreadable files hold their names too.
    const size_t names = m_nodes.size() + m_DeliveredOnDisk.size();
    for (size_t step = 0; step <= names; ++step) {
        const std::string name = ImageFileName(record.stTime);
        const bool taken = m_DeliveredOnDisk.count(name) != 0 ||
                           std::any_of(m_nodes.begin(), m_nodes.end(), [&](const Node& n) {
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
        m_Notices.insert(StoreNotice::WriteFailed);
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
    const bool room = m_nodes.size() < kMaxStoredImages || MoveOutOldest();
    m_nodes.push_back(node);
    StoreInfo();
    return room ? 1 : 0;
}

bool ImageList::MoveOutOldest() {
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        Node& node = m_nodes[i];
        if (m_Lent.count(ImageFileNumber(node.record->stTime)) != 0) {
            continue; // a client is transferring it
        }
        // An image only in memory leaves only with its file.
        if (!node.onDisk && !WriteFile(node)) {
            continue;
        }
        const std::string name = ImageFileName(node.record->stTime);
        if (!m_medium.MoveToOlderImages(name)) {
            continue;
        }
        FreeImageRecord(UnlinkNode(i));
        m_Notices.insert(StoreNotice::OldestMovedOut);
        m_Report.push_back(Line("CImageQueue: Add: the store is full; its oldest image %s is "
                                "moved into the folder \"Older Images\". Transfer images "
                                "now.\n",
                                name));
        return true;
    }
    m_Notices.insert(StoreNotice::NoRoomMade);
    m_Report.push_back("CImageQueue: Add: the store is full and no image could be moved out (each "
                       "is being transferred or its file cannot be moved); it holds one image "
                       "more. Transfer images now.\n");
    return false;
}

ImageDataStruct* ImageList::UnlinkNode(size_t node) {
    ImageDataStruct* record = m_nodes[node].record;
    m_nodes.erase(m_nodes.begin() + static_cast<std::ptrdiff_t>(node));
    m_Lent.erase(ImageFileNumber(record->stTime));
    return record;
}

bool ImageList::DeleteLeavingFile(const ImageDataStruct& record) {
    const std::string name = ImageFileName(record.stTime);
    if (m_medium.DeleteImageFile(name) != StoreMedium::Removal::Failed) {
        return true;
    }
    // The file stays: recorded like a delivered image, so that no restart offers or ticks it.
    m_medium.RememberDelivered(name, CrcOf(record));
    m_DeliveredOnDisk.insert(name);
    return false;
}

int ImageList::RemoveAt(int index, bool deleteFile) {
    const int node = NodeIndex(index);
    if (node < 0) {
        return 0;
    }
    const bool gone = RemoveNode(static_cast<size_t>(node), deleteFile);
    if (deleteFile) {
        StoreInfo();
    }
    return gone ? 1 : 0;
}

bool ImageList::RemoveNode(size_t node, bool deleteFile) {
    ImageDataStruct* record = UnlinkNode(node);
    const bool gone = !deleteFile || DeleteLeavingFile(*record);
    FreeImageRecord(record);
    return gone;
}

ImageDataStruct* ImageList::TakeAt(int index) {
    const int node = NodeIndex(index);
    if (node < 0) {
        return nullptr;
    }
    ImageDataStruct* record = UnlinkNode(static_cast<size_t>(node));
    // The image leaves the store whether or not its file goes: the information file no
    // longer lists it and a file that stays is recorded, so it is not loaded again.
    DeleteLeavingFile(*record);
    StoreInfo();
    return record;
}

ImageDataStruct* ImageList::TakeFirstSelected() {
    for (int i = 0; i < Count(); ++i) {
        if (At(i)->bSelected != 0) {
            return TakeAt(i);
        }
    }
    return nullptr;
}

int ImageList::DeleteAll(bool deleteFiles) {
    if (!deleteFiles) {
        for (Node& node : m_nodes) {
            FreeImageRecord(node.record);
        }
        m_nodes.clear();
        return 1;
    }
    int result = 1;
    // Entries kept for unreadable files stay: the user never saw those images.
    for (size_t i = m_nodes.size(); i-- > 0;) {
        if (!m_nodes[i].unread && !RemoveNode(i, true)) {
            result = 0;
        }
    }
    // One rewrite for the whole deletion: one per image takes about a second for a full store.
    StoreInfo();
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

bool ImageList::TakeNotice(StoreNotice notice) {
    return m_Notices.erase(notice) != 0;
}

void ImageList::SetLent(int32_t imageId, bool lent) {
    if (lent) {
        m_Lent.insert(imageId);
    } else {
        m_Lent.erase(imageId);
    }
}

void ImageList::ClearLent() {
    m_Lent.clear();
}

bool ImageList::IsUnsaved(int index) const {
    const int node = NodeIndex(index);
    return node >= 0 && !m_nodes[static_cast<size_t>(node)].onDisk;
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
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        const Node& node = m_nodes[i];
        if (!node.unread && ImageFileNumber(node.record->stTime) == imageId &&
            node.record->pImageData != nullptr && node.record->nImageSize > 0 &&
            CrcOf(*node.record) == crc) {
            RemoveNode(i, true);
            StoreInfo();
            return true;
        }
    }
    return false;
}
