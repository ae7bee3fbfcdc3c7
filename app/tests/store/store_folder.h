// A fresh installation folder for one test, below the temporary folder, removed afterwards.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

class StoreFolder {
public:
    explicit StoreFolder(const wchar_t* name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_path = std::filesystem::path(temp) / (std::wstring(L"qor-store-") + name + L"-" +
                                                std::to_wstring(GetCurrentProcessId()));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~StoreFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::wstring Path() const { return m_path.wstring(); }
    std::filesystem::path Images() const { return m_path / L"Images"; }
    std::string InfoAnsi() const { return (m_path / L"Images" / L"ImageInfo.ini").string(); }

private:
    std::filesystem::path m_path;
};
