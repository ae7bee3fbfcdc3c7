#include "app/image_queue.h"

#include <cwchar>
#include <utility>

#include "app/core/image_file_name.h"
#include "app/core/image_list.h"
#include "app/disk_store_medium.h"
#include "common/core/crc32.h"
#include "common/suite_key.h"

namespace {

// "InstalPath" without a trailing backslash (an installation into a folder of the
// administrator's choosing writes one); empty when the key or a text value is missing.
std::wstring InstallPathFromRegistry() {
    wchar_t value[MAX_PATH + 1] = {};
    return ReadInstalPath(value, MAX_PATH + 1) ? std::wstring(value) : std::wstring();
}

// The folder of the running program: where the store lives without "InstalPath".
std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return L".";
    }
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

bool ToAnsi(const std::wstring& wide, char (&out)[MAX_PATH]) {
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, wide.c_str(), -1, out, MAX_PATH,
                                      nullptr, &lossy);
    return n > 0 && !lossy;
}

} // namespace

CImageQueue::CImageQueue() {
    std::wstring folder = InstallPathFromRegistry();
    if (folder.empty()) {
        m_bFallbackFolder = true;
        folder = ProgramFolder();
    }
    InitPaths(folder.c_str());
    Load();
}

CImageQueue::CImageQueue(const wchar_t* installFolder) {
    InitPaths(installFolder != nullptr ? installFolder : L".");
    Load();
}

CImageQueue::~CImageQueue() = default;

void CImageQueue::InitPaths(const wchar_t* installFolder) {
    std::wstring base(installFolder);
    while (base.size() > 1 && (base.back() == L'\\' || base.back() == L'/')) {
        base.pop_back();
    }
    const std::wstring images = base + L"\\Images";
    const std::wstring info = images + L"\\ImageInfo.ini";
    if (info.size() >= MAX_PATH || !ToAnsi(info, m_szInfoFileA) ||
        !ToAnsi(images, m_szImageFolderA)) {
        // The information library takes ANSI paths of at most 260 bytes: without one the store
        // keeps its images in memory only (every write reports a failure).
        m_szInfoFileA[0] = m_szImageFolderA[0] = '\0';
    } else {
        wcscpy_s(m_szImageFolder, images.c_str());
        wcscpy_s(m_szInfoFile, info.c_str());
        CreateDirectoryW(m_szImageFolder, nullptr);
        HANDLE file = CreateFileW(m_szInfoFile, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    m_pMedium = std::make_unique<DiskStoreMedium>(m_szImageFolder, m_szInfoFileA);
    m_pList = std::make_unique<ImageList>(*m_pMedium);
}

void CImageQueue::Load() {
    std::lock_guard lock(m_lock);
    m_RecoveryReport = m_pMedium->RecoverFromInterruption();
    m_pList->Load();
}

std::vector<std::string> CImageQueue::TakeReport() {
    std::lock_guard lock(m_lock);
    std::vector<std::string> report = std::exchange(m_RecoveryReport, {});
    for (std::string& line : m_pList->TakeReport()) {
        report.push_back(std::move(line));
    }
    return report;
}

void CImageQueue::LendFirstSelected(qor::pipe::LentImage& header,
                                    std::vector<uint8_t>& bytes) const {
    header = {};
    bytes.clear();
    std::lock_guard lock(m_lock);
    for (int i = 0; i < m_pList->Count(); ++i) {
        const ImageDataStruct* record = m_pList->At(i);
        if (record == nullptr || record->bSelected == 0) {
            continue;
        }
        if (record->pImageData == nullptr || record->nImageSize <= 0) {
            return;  // a selected record without a bitmap: nothing to lend
        }
        bytes.assign(record->pImageData, record->pImageData + record->nImageSize);
        header.nImageId = ImageFileNumber(record->stTime);
        header.nImageSize = record->nImageSize;
        header.nCrc32 = qor::Crc32(bytes.data(), bytes.size());
        return;
    }
}

bool CImageQueue::RemoveMatching(int32_t imageId, uint32_t crc) {
    std::lock_guard lock(m_lock);
    return m_pList->RemoveMatching(imageId, crc);
}

int CImageQueue::UnsavedCount() const {
    std::lock_guard lock(m_lock);
    return m_pList->UnsavedCount();
}

int CImageQueue::SaveUnsaved() {
    std::lock_guard lock(m_lock);
    return m_pList->SaveUnsaved();
}

std::wstring CImageQueue::MakeImageFileName(const ImageDataStruct* record) const {
    if (record == nullptr) {
        return {};
    }
    const std::string name = ImageFileName(record->stTime);
    return std::wstring(m_szImageFolder) + L"\\" + std::wstring(name.begin(), name.end());
}

int CImageQueue::GetCount() const {
    std::lock_guard lock(m_lock);
    return m_pList->Count();
}

ImageDataStruct* CImageQueue::GetAt(int index) const {
    std::lock_guard lock(m_lock);
    return m_pList->At(index);
}

int CImageQueue::GetSelectedCount() const {
    std::lock_guard lock(m_lock);
    return m_pList->SelectedCount();
}

int CImageQueue::GetFillLevel() const {
    std::lock_guard lock(m_lock);
    return m_pList->FillLevel();
}

int CImageQueue::PendingImages(int32_t* firstSelectedSize) const {
    std::lock_guard lock(m_lock);
    return m_pList->PendingImages(firstSelectedSize);
}

int CImageQueue::Add(ImageDataStruct* record) {
    std::lock_guard lock(m_lock);
    return m_pList->Add(record);
}

int CImageQueue::RemoveAt(int index, BOOL deleteFile) {
    std::lock_guard lock(m_lock);
    return m_pList->RemoveAt(index, deleteFile != FALSE);
}

ImageDataStruct* CImageQueue::TakeAt(int index) {
    std::lock_guard lock(m_lock);
    return m_pList->TakeAt(index);
}

ImageDataStruct* CImageQueue::TakeFirstSelected() {
    std::lock_guard lock(m_lock);
    return m_pList->TakeFirstSelected();
}

int CImageQueue::DeleteAll(BOOL deleteFiles) {
    std::lock_guard lock(m_lock);
    return m_pList->DeleteAll(deleteFiles != FALSE);
}

int CImageQueue::SetSelection(int index, int value) {
    std::lock_guard lock(m_lock);
    return m_pList->SetSelection(index, value);
}

int CImageQueue::StoreInfo() {
    std::lock_guard lock(m_lock);
    return m_pList->StoreInfo();
}

bool CImageQueue::TakeNotice(StoreNotice notice) {
    std::lock_guard lock(m_lock);
    return m_pList->TakeNotice(notice);
}

void CImageQueue::SetLent(int32_t imageId, bool lent) {
    std::lock_guard lock(m_lock);
    m_pList->SetLent(imageId, lent);
}

void CImageQueue::ClearLent() {
    std::lock_guard lock(m_lock);
    m_pList->ClearLent();
}
