// The store's files on disk: bitmap files in the image folder, and the information file through
// the Orbel library. Nothing is rewritten in place: a bitmap is written under a temporary name
// ("<name>.part") and renamed when complete, and the list is written to "ImageInfo.ini.new" and
// swapped in whole, so that a kill at any moment leaves every stored image on disk and listed
// or adoptable.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/core/delivered_record.h"
#include "app/core/image_list.h"

class DiskStoreMedium final : public StoreMedium {
public:
    // Folder path without a trailing backslash; the information file path in the ANSI code
    // page, as the Orbel library takes it (it lies in the image folder).
    DiskStoreMedium(std::wstring imageFolder, std::string infoFileAnsi);

    ReadResult ReadInfo(std::vector<ImageInfoStuct>& entries) override;
    int WriteInfo(ImageDataStruct** records, int count) override;
    ReadResult ReadImageFile(const std::string& name, uint8_t** bytes, size_t* size) override;
    bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) override;
    Removal DeleteImageFile(const std::string& name) override;
    // Into "Images\Older Images", made when needed.
    bool MoveToOlderImages(const std::string& name) override;
    std::vector<StoredFile> ListImageFiles() override;
    void WaitBeforeRetry() override;
    // In "Delivered Images.txt" beside the images (per machine, as the store is), replaced
    // whole through a temporary file. Where that cannot be written, in the registry of the user
    // (HKEY_CURRENT_USER "SOFTWARE\Halvex Imaging\QOR\Delivered Images", one DWORD value per
    // file name), which is also where earlier versions kept it: both are read, and whatever the
    // registry holds moves into the file as soon as the file is written.
    void RememberDelivered(const std::string& name, uint32_t crc) override;
    ReadResult ReadDelivered(std::vector<DeliveredImage>& images) override;
    void ForgetDelivered(const std::string& name) override;

    // Before loading: what a kill left behind. A bitmap's temporary file is deleted (its image
    // was never listed); a leftover "ImageInfo.ini.new" replaces a missing or empty
    // "ImageInfo.ini" and is deleted otherwise (the old list is whole; unlisted files are adopted
    // anyway). One line per action, for the log.
    std::vector<std::string> RecoverFromInterruption();

    std::wstring PathOf(const std::string& name) const;

private:
    // Writes m_record into the file (deletes the file when the record is empty); true when
    // done, and then the registry's record, all of it in the file now, is removed.
    bool SaveRecord();

    std::wstring m_imageFolder;
    std::string m_infoFileAnsi;
    std::string m_newInfoFileAnsi;
    std::wstring m_infoFile;
    std::wstring m_newInfoFile;
    DeliveredRecord m_record;
    // The record file was read (or is missing): it may be replaced. Never while it could not be
    // read: what it holds would be lost.
    bool m_bRecordFileUsable = false;
};

// The suffix of a bitmap file being written.
inline constexpr char kUnfinishedFileSuffix[] = ".part";
// Beside the images: the record of delivered images and the folder of images moved out.
inline constexpr wchar_t kDeliveredRecordFile[] = L"Delivered Images.txt";
inline constexpr wchar_t kOlderImagesFolder[] = L"Older Images";
