// The list rules of the image store, apart from files and locking: arrival order, at most 64
// images, fill levels, selection, distinct file names, loading from the information file, and
// images kept in memory while their file cannot be written. The files and the information
// file are reached through a StoreMedium (the Windows store uses disk files and the
// information library; the tests use memory).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/core/image_record.h"

inline constexpr int kMaxStoredImages = 64;
inline constexpr int kNearlyFullImages = 60;

class StoreMedium {
public:
    enum class Removal { Deleted, Missing, Failed };

    // A file of the image folder named like a store file ("%.9d.bmp" of a time of day).
    struct StoredFile {
        std::string name;
        ImageTime date;  // the date of its last change (year, month, day of week, day)
    };

    virtual ~StoreMedium() = default;
    // The entries of the information file, oldest first; false when it could not be read.
    virtual bool ReadInfo(std::vector<ImageInfoStuct>& entries) = 0;
    // Replaces the information file whole so that it lists exactly these records: a kill at any
    // moment leaves either the old list or the new one, never a mix or an empty file.
    virtual int WriteInfo(ImageDataStruct** records, int count) = 0;
    // The whole file, std::malloc'd, or null when it is missing, empty or unreadable.
    virtual uint8_t* ReadImageFile(const std::string& name, size_t* size) = 0;
    // Creates or replaces the file; true only when every byte was written. The file appears
    // under its name only complete.
    virtual bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) = 0;
    virtual Removal DeleteImageFile(const std::string& name) = 0;
    // The files of the image folder named like store files, in any order.
    virtual std::vector<StoredFile> ListImageFiles() { return {}; }

    // Images the imaging program has, whose file could not be deleted (a read-only or failing
    // store): remembered outside the store, so that a restart does not offer them a second time.
    // Keyed by file name, with the CRC-32 of the delivered bytes.
    virtual void RememberDelivered(const std::string& /*name*/, uint32_t /*crc*/) {}
    virtual std::vector<std::pair<std::string, uint32_t>> DeliveredImages() { return {}; }
    virtual void ForgetDelivered(const std::string& /*name*/) {}
};

class ImageList {
public:
    explicit ImageList(StoreMedium& medium) : m_medium(medium) {}
    ~ImageList();
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;

    // Appends the stored images the information file lists: each file must exist and be a
    // valid 8-bit bitmap; an entry naming a file already loaded is skipped; of more than 64
    // good entries the newest 64 are kept (the others' files stay on disk, unlisted). Then it
    // adopts the valid image files the list does not name (selected, in the order of their
    // names, while there is room), so that an image whose entry was lost is offered again.
    // When any entry was dropped or any file adopted the information file is rewritten once.
    // Each dropped entry and adopted file adds a line to the load report. The number of
    // images loaded.
    int Load();
    // The lines Load reported (each ends in a newline), handed over once.
    std::vector<std::string> TakeLoadReport();

    int Count() const { return static_cast<int>(m_nodes.size()); }
    ImageDataStruct* At(int index) const;
    int SelectedCount() const;
    int FillLevel() const;
    int PendingImages(int32_t* firstSelectedSize) const;

    int Add(ImageDataStruct* record);
    int RemoveAt(int index, bool deleteFile);
    ImageDataStruct* TakeAt(int index);
    ImageDataStruct* TakeFirstSelected();
    int DeleteAll(bool deleteFiles);
    int SetSelection(int index, int value);
    int StoreInfo();
    int TakeWriteFailureNotice();

    // True when the image at index is not yet in its file (a write failed).
    bool IsUnsaved(int index) const;
    // Images still only in memory.
    int UnsavedCount() const;
    // Writes the images still only in memory and then the information file; the number of
    // images still unsaved afterwards (0 when all are on disk).
    int SaveUnsaved();
    // Removes the oldest image whose file number is `imageId` and whose bytes have the CRC-32
    // `crc`, with its file, and rewrites the information file. False when there is none.
    bool RemoveMatching(int32_t imageId, uint32_t crc);

private:
    struct Node {
        ImageDataStruct* record;
        bool onDisk;
    };

    // Clamps the record's time into the day, then moves it on until its file name is none of
    // the listed images'.
    void MakeNameDistinct(ImageDataStruct& record) const;
    bool WriteFile(Node& node);
    // Tries again every image whose file could not be written.
    void WriteUnsavedFiles();
    ImageDataStruct* Unlink(int index);
    // Load's second half: the unlisted valid files; true when any was adopted.
    bool AdoptUnlistedFiles(const std::set<int32_t>& listed);
    // Load's first step: delivered images whose file could not be deleted before are deleted
    // now where possible; the names still on disk are not loaded again.
    void SettleDeliveredImages();
    // Removes a delivered image with its file; an undeletable file is remembered as delivered.
    void RemoveDelivered(int index);
    // RemoveAt without rewriting the information file: 1, 0 when the file could not be
    // deleted, kNoRecord when the index has no record.
    static constexpr int kNoRecord = -1;
    int Remove(int index, bool deleteFile);

    StoreMedium& m_medium;
    std::vector<Node> m_nodes;
    bool m_bWriteFailing = false;
    bool m_bWriteFailureNotice = false;
    std::vector<std::string> m_LoadReport;
    std::set<std::string> m_DeliveredOnDisk;
    // The last information-file write succeeded.
    bool m_bInfoWritten = true;
};
