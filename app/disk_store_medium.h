// The store's files on disk: bitmap files in the image folder, and the information file through
// the Orbel library. Nothing is rewritten in place: a bitmap is written under a temporary name
// ("<name>.part") and renamed when complete, and the list is written to "ImageInfo.ini.new" and
// swapped in whole, so that a kill at any moment leaves every stored image on disk and listed
// or adoptable.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/core/image_list.h"

class DiskStoreMedium final : public StoreMedium {
public:
    // Folder path without a trailing backslash; the information file path in the ANSI code
    // page, as the Orbel library takes it (it lies in the image folder).
    DiskStoreMedium(std::wstring imageFolder, std::string infoFileAnsi);

    bool ReadInfo(std::vector<ImageInfoStuct>& entries) override;
    int WriteInfo(ImageDataStruct** records, int count) override;
    uint8_t* ReadImageFile(const std::string& name, size_t* size) override;
    bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) override;
    Removal DeleteImageFile(const std::string& name) override;
    std::vector<StoredFile> ListImageFiles() override;
    // In the registry (HKEY_CURRENT_USER "SOFTWARE\\Halvex Imaging\\QOR\\Delivered Images", one
    // DWORD value per file name): the store itself may be what cannot be written.
    void RememberDelivered(const std::string& name, uint32_t crc) override;
    std::vector<std::pair<std::string, uint32_t>> DeliveredImages() override;
    void ForgetDelivered(const std::string& name) override;

    // Before loading: what a kill left behind. A bitmap's temporary file is deleted (its image
    // was never listed); a leftover "ImageInfo.ini.new" replaces a missing or empty
    // "ImageInfo.ini" and is deleted otherwise (the old list is whole; unlisted files are adopted
    // anyway). One line per action, for the log.
    std::vector<std::string> RecoverFromInterruption();

    std::wstring PathOf(const std::string& name) const;

private:
    std::wstring m_imageFolder;
    std::string m_infoFileAnsi;
    std::string m_newInfoFileAnsi;
    std::wstring m_infoFile;
    std::wstring m_newInfoFile;
};

// The suffix of a bitmap file being written.
inline constexpr char kUnfinishedFileSuffix[] = ".part";
