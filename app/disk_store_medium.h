// The store's files on disk: bitmap files in the image folder, and the information file through
// the Orbel library.
#pragma once

#include <windows.h>

#include <string>

#include "app/core/image_list.h"

class DiskStoreMedium final : public StoreMedium {
public:
    // Folder paths without a trailing backslash; the information file path in the ANSI code
    // page, as the Orbel library takes it.
    DiskStoreMedium(std::wstring imageFolder, std::string infoFileAnsi)
        : m_imageFolder(std::move(imageFolder)), m_infoFileAnsi(std::move(infoFileAnsi)) {}

    bool ReadInfo(std::vector<ImageInfoStuct>& entries) override;
    int WriteInfo(ImageDataStruct** records, int count) override;
    int WriteSelection(int index, int selected) override;
    uint8_t* ReadImageFile(const std::string& name, size_t* size) override;
    bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) override;
    Removal DeleteImageFile(const std::string& name) override;

    std::wstring PathOf(const std::string& name) const;

private:
    std::wstring m_imageFolder;
    std::string m_infoFileAnsi;
};
