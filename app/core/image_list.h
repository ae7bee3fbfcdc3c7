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
    // What a read found. Missing: no such file (or one that cannot be a store file: empty, far
    // too large). Unreadable: the file is there but could not be read now (another program
    // holds it open without sharing, a read error); it may be readable a moment later.
    enum class ReadResult { Read, Missing, Unreadable };

    // A file of the image folder named like a store file ("%.9d.bmp" of a time of day).
    struct StoredFile {
        std::string name;
        ImageTime date;  // the date of its last change (year, month, day of week, day)
    };

    virtual ~StoreMedium() = default;
    // The entries of the information file, oldest first (none when it is missing).
    virtual ReadResult ReadInfo(std::vector<ImageInfoStuct>& entries) = 0;
    // Replaces the information file whole so that it lists exactly these records: a kill at any
    // moment leaves either the old list or the new one, never a mix or an empty file.
    virtual int WriteInfo(ImageDataStruct** records, int count) = 0;
    // The whole file in *bytes (std::malloc'd) and *size when Read; *bytes is null otherwise.
    virtual ReadResult ReadImageFile(const std::string& name, uint8_t** bytes, size_t* size) = 0;
    // Creates or replaces the file; true only when every byte was written. The file appears
    // under its name only complete.
    virtual bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) = 0;
    virtual Removal DeleteImageFile(const std::string& name) = 0;
    // Moves the file out of the store into the folder of older images, under its own name or,
    // when an older image holds that name, a free one. False when it could not be moved.
    virtual bool MoveToOlderImages(const std::string& name) = 0;
    // The files of the image folder named like store files, in any order.
    virtual std::vector<StoredFile> ListImageFiles() { return {}; }
    // Called between two reads of a file that was unreadable (the disk store waits 500 ms).
    virtual void WaitBeforeRetry() {}

    // Images that left the store (delivered, or deleted by the user) whose file could not be
    // deleted: remembered beside the store, so that a restart neither offers nor ticks them
    // again. Keyed by file name, with the CRC-32 of the image's bytes.
    struct DeliveredImage {
        std::string name;
        uint32_t crc;
    };
    virtual void RememberDelivered(const std::string& /*name*/, uint32_t /*crc*/) {}
    // Unreadable when the record is there but could not be read: then the images it names are
    // unknown (those in *images are still right).
    virtual ReadResult ReadDelivered(std::vector<DeliveredImage>& /*images*/) {
        return ReadResult::Missing;
    }
    virtual void ForgetDelivered(const std::string& /*name*/) {}
};

// Waits between reads of an unreadable file during one load, in all (about 5 s on disk).
inline constexpr int kLoadRetryWaits = 10;

// What the store has to tell the user, raised once per occasion and taken once.
enum class StoreNotice {
    WriteFailed,     // an image file could not be written; the image is kept in memory
    RecordsInDoubt,  // the list or the delivered record could not be read at the start
    OldestMovedOut,  // the store was full: its oldest image went into the older images' folder
    NoRoomMade,      // the store was full and no image could be moved out: it holds one more
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
    // adopts the valid image files the list does not name (in the order of their names, while
    // there is room), so that an image whose entry was lost is offered again.
    // A file (or the list) that cannot be read is read again, kLoadRetryWaits waits in all. A
    // listed file still unreadable keeps its entry, in its place and with its selection, in
    // every list written this run (it loads at the next start) without being offered now.
    // When the list or the delivered record stays unreadable, every image is loaded unselected
    // (none may tick what the user unticked or what was delivered), the list is not rewritten
    // until the store changes, and RecordsInDoubt is raised.
    // Otherwise the list is rewritten once when an entry was dropped or a file adopted. Each
    // dropped entry and adopted file adds a line to the report. The number of images loaded.
    int Load();
    // The lines for the log of what the store found and did (loading, images moved out), each
    // ending in a newline, handed over once.
    std::vector<std::string> TakeReport();

    // The images offered (listed entries whose file could not be read are not among them).
    int Count() const;
    ImageDataStruct* At(int index) const;
    int SelectedCount() const;
    // 0 below 60 entries, 1 for 60 to 63, 2 from 64.
    int FillLevel() const;
    int PendingImages(int32_t* firstSelectedSize) const;

    // At 64 entries the oldest image that is not lent is moved out of the store first (its
    // file into the older images' folder). 1; 0 when no image could be moved out (all lent, or
    // no file movable): the new image is kept anyway, the store holds one more, NoRoomMade.
    int Add(ImageDataStruct* record);
    // With deleteFile the image leaves the store for good (deleted by the user, sent): a file
    // that cannot be deleted is recorded as delivered, so that it never comes back. 0 when the
    // index has no record or the file could not be deleted.
    int RemoveAt(int index, bool deleteFile);
    ImageDataStruct* TakeAt(int index);
    ImageDataStruct* TakeFirstSelected();
    // With deleteFiles every offered image leaves for good (as RemoveAt); without, the list
    // forgets everything in memory and the files and the information file stay (exit).
    int DeleteAll(bool deleteFiles);
    int SetSelection(int index, int value);
    int StoreInfo();
    bool TakeNotice(StoreNotice notice);

    // Image ids (file numbers) a client holds on loan: never moved out to make room.
    void SetLent(int32_t imageId, bool lent);
    void ClearLent();

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
        // A listed image whose file could not be read at the start: its entry (time and
        // selection) is kept in the list, its record holds no bitmap and is never offered.
        bool unread = false;
    };

    // The index in m_nodes of the offered image `index`; -1 outside.
    int NodeIndex(int index) const;
    // Clamps the record's time into the day, then moves it on until its file name is none of
    // the listed images'.
    void MakeNameDistinct(ImageDataStruct& record) const;
    bool WriteFile(Node& node);
    // Tries again every image whose file could not be written.
    void WriteUnsavedFiles();
    // Takes the node out of the list (and out of the lent images); the caller owns its record.
    ImageDataStruct* UnlinkNode(size_t node);
    // Reads again while the result is Unreadable and the load has waits left.
    template <typename Read>
    StoreMedium::ReadResult ReadRetrying(Read read);
    // A listed or adopted file: a node (unread when the file stays unreadable), or false with
    // a line in the report when the file is missing or no valid bitmap.
    bool LoadNode(const std::string& name, const ImageTime& time, int32_t selected, bool listed,
                  Node& node);
    // Load's second half: the unlisted valid files; true when any was adopted.
    bool AdoptUnlistedFiles(const std::set<int32_t>& listed);
    // Load's first step: delivered images whose file could not be deleted before are deleted
    // now where possible; the names still on disk are not loaded again.
    void SettleDeliveredImages();
    // Deletes the file of an image leaving the store; one that stays is recorded as
    // delivered. False when it stays.
    bool DeleteLeavingFile(const ImageDataStruct& record);
    // Makes room for one more image; false when no image could be moved out.
    bool MoveOutOldest();
    // Removes a node without rewriting the information file; false when its file stays.
    bool RemoveNode(size_t node, bool deleteFile);

    StoreMedium& m_medium;
    std::vector<Node> m_nodes;
    bool m_bWriteFailing = false;
    std::set<StoreNotice> m_Notices;
    std::vector<std::string> m_Report;
    std::set<std::string> m_DeliveredOnDisk;
    std::set<int32_t> m_Lent;
    int m_nRetryWaitsLeft = 0;
    // The load could not read the list or the delivered record: images load unselected.
    bool m_bInDoubt = false;
    // The last information-file write succeeded.
    bool m_bInfoWritten = true;
};
