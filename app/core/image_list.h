// The list rules of the image store, apart from files and locking: arrival order, at most 64
// images, fill levels, selection, distinct file names, loading from the information file, and
// images kept in memory while their file cannot be written. The files and the information
// file are reached through a StoreMedium (the Windows store uses disk files and the
// information library; the tests use memory).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/core/image_record.h"

inline constexpr int kMaxStoredImages = 64;
inline constexpr int kNearlyFullImages = 60;

class StoreMedium {
public:
    enum class Removal { Deleted, Missing, Failed };

    virtual ~StoreMedium() = default;
    // The entries of the information file, oldest first; false when it could not be read.
    virtual bool ReadInfo(std::vector<ImageInfoStuct>& entries) = 0;
    // Rewrites the information file to list exactly these records.
    virtual int WriteInfo(ImageDataStruct** records, int count) = 0;
    // The selection of entry `index` of the information file; non-zero on success.
    virtual int WriteSelection(int index, int selected) = 0;
    // The whole file, std::malloc'd, or null when it is missing, empty or unreadable.
    virtual uint8_t* ReadImageFile(const std::string& name, size_t* size) = 0;
    // Creates or truncates the file; true only when every byte was written.
    virtual bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) = 0;
    virtual Removal DeleteImageFile(const std::string& name) = 0;
};

class ImageList {
public:
    explicit ImageList(StoreMedium& medium) : m_medium(medium) {}
    ~ImageList();
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;

    // Appends the stored images the information file lists: each file must exist and be a
    // valid 8-bit bitmap; an entry naming a file already loaded is skipped; of more than 64
    // good entries the newest 64 are kept (the others' files stay on disk, unlisted). When any
    // entry was dropped the information file is rewritten, so that its entries and the store's
    // indexes stay the same. The number of images loaded.
    int Load();

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
    // RemoveAt without rewriting the information file: 1, 0 when the file could not be
    // deleted, kNoRecord when the index has no record.
    static constexpr int kNoRecord = -1;
    int Remove(int index, bool deleteFile);

    StoreMedium& m_medium;
    std::vector<Node> m_nodes;
    bool m_bWriteFailing = false;
    bool m_bWriteFailureNotice = false;
};
