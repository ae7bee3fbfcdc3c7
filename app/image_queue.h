// CImageQueue: the image store of the application. Every image stays in memory, as an 8-bit
// bitmap file in "Images" below the installation folder and as an entry of "ImageInfo.ini"
// until it is sent over the pipe or deleted; the next start loads the files again.
//
// The main thread makes every change; the pipe thread reads the counts at the same time, so one
// lock inside makes each operation whole. Records returned by GetAt stay valid only on the main
// thread (another thread asks PendingImages instead).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/image_list.h"
#include "common/core/image_record.h"
#include "common/core/pipe_messages.h"

class DiskStoreMedium;

class CImageQueue {
public:
    // Folder from the registry value "InstalPath"; without it, the folder of the program.
    CImageQueue();
    // An explicit installation folder (tests, and callers that already know it).
    explicit CImageQueue(const wchar_t* installFolder);
    ~CImageQueue();
    CImageQueue(const CImageQueue&) = delete;
    CImageQueue& operator=(const CImageQueue&) = delete;

    // Image folder, a backslash and "%.2d%.2d%.2d%.3d.bmp" of the record's time of day.
    std::wstring MakeImageFileName(const ImageDataStruct* record) const;

    int GetCount() const;
    // Null outside 0..count-1. Main thread only: the record may be freed by the next change.
    ImageDataStruct* GetAt(int index) const;
    int GetSelectedCount() const;
    // 0 below 60 images, 1 for 60 to 63, 2 for 64.
    int GetFillLevel() const;
    // Number of selected images and the byte size of the oldest of them (0 when none), read
    // under one lock: what another thread may ask.
    int PendingImages(int32_t* firstSelectedSize) const;

    // Takes ownership of the record (also on failure). Writes its file (a time outside the day
    // is clamped into it, and a record arriving in the millisecond of a stored one gets its
    // time moved on until its name is free), at 64 images moves the oldest one that is not
    // lent into "Images\Older Images" (notice OldestMovedOut), and rewrites the information
    // file. 1; 0 when no image could be moved out and the store holds one more (NoRoomMade).
    int Add(ImageDataStruct* record);
    // Frees the record; with deleteFile the image leaves for good (deleted by the user, or
    // sent): its file is deleted, or recorded in "Delivered Images.txt" when it cannot be, so
    // that it is never offered or ticked again; the information file is rewritten. 0 when the
    // index has no record or its file could not be deleted.
    int RemoveAt(int index, BOOL deleteFile);
    // Unlinks the record, deletes its file (recorded as delivered when it cannot be), rewrites
    // the information file; the caller owns the record (FreeImageRecord). Null outside the list.
    ImageDataStruct* TakeAt(int index);
    // TakeAt of the oldest selected record; null when none is selected.
    ImageDataStruct* TakeFirstSelected();
    // Removes every image, with its file when deleteFiles is set (as RemoveAt), and then rewrites
    // the information file once. 1 when every file went (also when empty).
    int DeleteAll(BOOL deleteFiles);
    // bSelected = low byte of value, written to the information file. 0 outside the list.
    int SetSelection(int index, int value);
    // Rewrites the information file from the whole list. 1.
    int StoreInfo();

    // For LEND_IMAGE, from any thread: a copy of the oldest selected image with its id (the
    // number that names its file) and CRC-32, read under the lock. Header all 0 and no bytes
    // when none is selected. The image stays stored.
    void LendFirstSelected(qor::pipe::LentImage& header, std::vector<uint8_t>& bytes) const;
    // For CONFIRM_IMAGE (main thread): removes the oldest image with this id and CRC-32, with
    // its file, and rewrites the information file. False when the store holds no such image.
    bool RemoveMatching(int32_t imageId, uint32_t crc);
    // The images a pipe client holds on loan (by id, the number that names the file), from any
    // thread: a full store never moves a lent image out to make room.
    void SetLent(int32_t imageId, bool lent);
    void ClearLent();

    // Images still only in memory (their file could not be written).
    int UnsavedCount() const;
    // Writes them now; the number still unsaved afterwards (0: every image is on disk).
    int SaveUnsaved();

    // What the store found and did (adopted files, dropped entries, leftovers of a kill, images
    // moved out), one line each, for the log (which opens after the store has loaded). Handed
    // over once.
    std::vector<std::string> TakeReport();

    // True exactly once per occasion: WriteFailed after a store file could not be written (the
    // image stays in memory and is written again with the next change; the next failure after
    // a good write reports again), RecordsInDoubt after a start that could not read the list,
    // OldestMovedOut and NoRoomMade after Add.
    bool TakeNotice(StoreNotice notice);

    const wchar_t* ImageFolder() const { return m_szImageFolder; }
    const wchar_t* InfoFilePath() const { return m_szInfoFile; }
    // True when "InstalPath" could not be read and the program's folder is used.
    bool UsesFallbackFolder() const { return m_bFallbackFolder; }

private:
    void InitPaths(const wchar_t* installFolder);
    void Load();

    mutable std::mutex m_lock;
    std::unique_ptr<DiskStoreMedium> m_pMedium;
    std::unique_ptr<ImageList> m_pList;
    bool m_bFallbackFolder = false;
    std::vector<std::string> m_RecoveryReport;
    wchar_t m_szInfoFile[MAX_PATH] = {};
    wchar_t m_szImageFolder[MAX_PATH] = {};
    char m_szInfoFileA[MAX_PATH] = {};
    char m_szImageFolderA[MAX_PATH] = {};
};
