// CImageView: the list is rebuilt from the store after every change; check boxes write the
// selection into the information file at once.
#include "app/image_view.h"

#include "app/app_messages.h"
#include "app/confirm_box.h"
#include "app/core/gray_bitmap.h"
#include "app/image_queue.h"
#include "app/qor_app.h"
#include "app/resources/app_resource.h"
#include "common/core/log_file.h"
#include "common/language.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The system bitmap loader reads files, so each thumbnail passes through this one.
constexpr wchar_t kThumbnailFile[] = L"./8bppThumbnailImg.bmp";
constexpr UINT kChecked = INDEXTOSTATEIMAGEMASK(2);
constexpr UINT kUnchecked = INDEXTOSTATEIMAGEMASK(1);

int32_t ReadInt32(const uint8_t* bytes) {
    int32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// True for an 8-bit bitmap file image of exactly the thumbnail's size: a larger picture would
// add several images to the list and move every later picture off its item.
bool IsThumbnail(const uint8_t* bytes, int32_t size) {
    if (bytes == nullptr || size <= 0 || !IsValidGray8Bitmap(bytes, static_cast<size_t>(size))) {
        return false;
    }
    const int32_t height = ReadInt32(bytes + 22);
    return ReadInt32(bytes + 18) == kThumbnailWidth &&
           (height == kThumbnailHeight || height == -kThumbnailHeight);
}

// Writes the thumbnail file; false (and the line the log keeps) when it cannot.
bool WriteThumbnailFile(const uint8_t* bytes, int32_t size) {
    FILE* file = _wfopen(kThumbnailFile, L"wb");
    if (file == nullptr) {
        TheLogFile().Write(LOG_WARN, "CImageView::UpdateImageView(): fp = NULL  \n");
        return false;
    }
    const size_t written = std::fwrite(bytes, 1, static_cast<size_t>(size), file);
    const bool closed = std::fclose(file) == 0;
    if (written != static_cast<size_t>(size) || !closed) {
        TheLogFile().Write(LOG_WARN, "CImageView::UpdateImageView() fwrite failed\n");
        return false;
    }
    return true;
}

HBITMAP LoadThumbnailFile() {
    if (GetFileAttributesW(kThumbnailFile) == INVALID_FILE_ATTRIBUTES) {
        TheLogFile().Write(LOG_WARN,
                           "CImageView::UpdateImageView(): Thumbnail image File Not found \n");
        return nullptr;
    }
    auto bitmap = static_cast<HBITMAP>(
        LoadImageW(nullptr, kThumbnailFile, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    if (bitmap == nullptr) {
        TheLogFile().Write(LOG_WARN,
                           "CImageView: UpdateImageView(): LoadImage failed! hBmp = NULL: \n");
        TheLogFile().WriteFormat(LOG_WARN, "CImageView: UpdateImageView(): Error Code: %d\n",
                                 static_cast<int>(GetLastError()));
        TheLogFile().Write(LOG_WARN, "CImageView::UpdateImageView(): Attach failed!\n");
    }
    return bitmap;
}

// The same picture straight from memory, for a folder where the file cannot be written.
HBITMAP ThumbnailFromMemory(const uint8_t* bytes) {
    const auto* info = reinterpret_cast<const BITMAPINFO*>(bytes + sizeof(BITMAPFILEHEADER));
    const uint32_t bitsOffset = static_cast<uint32_t>(ReadInt32(bytes + 10));
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateDIBitmap(screen, &info->bmiHeader, CBM_INIT, bytes + bitsOffset, info,
                                    DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

// A plain face-coloured picture for an image whose thumbnail is missing or unreadable.
HBITMAP BlankThumbnail() {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, kThumbnailWidth, kThumbnailHeight);
    HDC dc = CreateCompatibleDC(screen);
    if (bitmap != nullptr && dc != nullptr) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        const RECT all{0, 0, kThumbnailWidth, kThumbnailHeight};
        FillRect(dc, &all, GetSysColorBrush(COLOR_BTNFACE));
        SelectObject(dc, old);
    }
    if (dc != nullptr) {
        DeleteDC(dc);
    }
    ReleaseDC(nullptr, screen);
    return bitmap;
}

} // namespace

CImageView::CImageView(CQorApp* owner, CImageQueue* store, CLanguage* language)
    : m_pOwner(owner), m_pImageQueue(store), m_pobLanguage(language) {
    m_hOwnerWnd = owner != nullptr ? owner->Window() : nullptr;
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    // True colour: an 8-bit list maps the grey thumbnails onto the system palette in bands.
    m_pImageList = ImageList_Create(kThumbnailWidth, kThumbnailHeight, ILC_COLOR24, 1, 1);
    CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_IMAGE_VIEW), m_hOwnerWnd,
                       &CImageView::DialogProc, reinterpret_cast<LPARAM>(this));
    if (m_hWnd == nullptr) {
        TheLogFile().WriteFormat(LOG_FATAL,
                                 "CImageView: the preview window could not be created (error %d). "
                                 "Reinstall QOR APP.\n",
                                 static_cast<int>(GetLastError()));
        return;
    }
    m_hList = GetDlgItem(m_hWnd, IDC_IMAGE_LIST);
    // The program's icon, so the window is known as QOR APP's in the task bar.
    if (HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128))) {
        SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    FitListToThumbnails();
    if (m_pobLanguage == nullptr) {
        TheLogFile().Write(LOG_WARN, "CImageView::CImageView: Invalid pointer - m_pobLanguage!\n");
        return;
    }
    SetWindowTextW(m_hWnd, Text(121));
    SetDlgItemTextW(m_hWnd, IDC_SELECT_ALL, Text(136));
    SetDlgItemTextW(m_hWnd, IDC_DESELECT_ALL, Text(137));
    SetDlgItemTextW(m_hWnd, IDC_DELETE_SELECTED, Text(138));
}

CImageView::~CImageView() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd)) {
        // The owner may be gone already (its end destroys the windows it owns).
        SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        DestroyWindow(m_hWnd);
    }
    if (m_pImageList != nullptr) {
        ImageList_Destroy(m_pImageList);
    }
}

void CImageView::FitListToThumbnails() {
    // One row of items plus the scroll bar must fit, or every thumbnail and check box is cut;
    // at some fonts the layout's list is a few pixels too low, so it grows with the window.
    ListView_SetExtendedListViewStyleEx(m_hList, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);
    ListView_SetImageList(m_hList, m_pImageList, LVSIL_NORMAL);
    wchar_t sample[] = L"00:00:00 ";
    LVITEMW probe{};
    probe.mask = LVIF_TEXT | LVIF_IMAGE;
    probe.pszText = sample;
    const auto index = SendMessageW(m_hList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&probe));
    RECT item{};
    item.left = LVIR_BOUNDS;
    const bool measured =
        index >= 0 && SendMessageW(m_hList, LVM_GETITEMRECT, static_cast<WPARAM>(index),
                                   reinterpret_cast<LPARAM>(&item)) != 0;
    ListView_DeleteAllItems(m_hList);
    if (!measured) {
        return;
    }
    RECT client{};
    GetClientRect(m_hList, &client);
    const int needed = (item.bottom - item.top) + 2 * std::max(0L, static_cast<long>(item.top)) +
                       GetSystemMetrics(SM_CYHSCROLL);
    const int grow = needed - (client.bottom - client.top);
    if (grow <= 0) {
        return;
    }
    auto growBy = [&](HWND window, bool move, bool resize) {
        RECT bounds{};
        GetWindowRect(window, &bounds);
        MapWindowPoints(nullptr, window == m_hWnd ? nullptr : m_hWnd,
                        reinterpret_cast<POINT*>(&bounds), 2);
        SetWindowPos(window, nullptr, bounds.left, bounds.top + (move ? grow : 0),
                     bounds.right - bounds.left, bounds.bottom - bounds.top + (resize ? grow : 0),
                     SWP_NOZORDER | SWP_NOACTIVATE | (move ? 0 : SWP_NOMOVE));
    };
    growBy(m_hList, false, true);
    for (int id : {IDC_SELECT_ALL, IDC_DESELECT_ALL, IDC_DELETE_SELECTED}) {
        growBy(GetDlgItem(m_hWnd, id), true, false);
    }
    growBy(m_hWnd, false, true);
}

const wchar_t* CImageView::Text(UINT id) {
    m_szText[0] = L'\0';
    if (m_pobLanguage != nullptr) {
        m_pobLanguage->ReadStringFromDLL(id, m_szText, static_cast<int>(std::size(m_szText)));
    }
    return m_szText;
}

INT_PTR CALLBACK CImageView::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CImageView*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
        return TRUE;
    }
    auto* self = reinterpret_cast<CImageView*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    // Nothing may unwind through the system's frames (no memory for a name list, for one).
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (...) {
        TheLogFile().Write(LOG_FATAL, "CImageView: a request of the preview failed for lack of "
                                      "memory; close other programs and try again.\n");
        return FALSE;
    }
}

INT_PTR CImageView::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_IMAGE_LIST && header->code == LVN_ITEMCHANGED) {
            OnItemChanged(*reinterpret_cast<const NMLISTVIEW*>(lParam));
        }
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SELECT_ALL:
            OnSelectAll();
            return TRUE;
        case IDC_DESELECT_ALL:
            OnDeselectAll();
            return TRUE;
        case IDC_DELETE_SELECTED:
            OnDeleteSelected();
            return TRUE;
        case IDCANCEL:
            // Escape closes the preview like its close button.
            PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_CLOSE:
        // The owner destroys the preview; nothing here may outlive that.
        PostMessageW(m_hOwnerWnd, UM_IMAGE_VIEW_CLOSED, 0, 0);
        return TRUE;
    case WM_SETCURSOR:
        if (m_bBusy) {
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case UM_VIEW_BUSY:
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnViewBusy(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

bool CImageView::AddThumbnail(const uint8_t* bytes, int32_t size) {
    bool good = false;
    HBITMAP bitmap = nullptr;
    if (IsThumbnail(bytes, size)) {
        if (WriteThumbnailFile(bytes, size)) {
            bitmap = LoadThumbnailFile();
            good = bitmap != nullptr;
        }
        if (bitmap == nullptr) {
            bitmap = ThumbnailFromMemory(bytes);
        }
    } else {
        TheLogFile().Write(LOG_WARN,
                           "CImageView::UpdateImageView(): an image has no readable thumbnail; "
                           "a blank picture stands for it.\n");
    }
    if (bitmap == nullptr) {
        bitmap = BlankThumbnail();
    }
    if (ImageList_AddMasked(m_pImageList, bitmap, RGB(0, 0, 0)) < 0) {
        // Nothing else keeps the picture indices in step with the items.
        good = false;
        TheLogFile().Write(LOG_WARN, "CImageView::UpdateImageView(): the thumbnail could not be "
                                     "added to the list.\n");
    }
    if (bitmap != nullptr && !DeleteObject(bitmap)) {
        TheLogFile().Write(LOG_WARN, "CImageView::UpdateImageView(): DeleteObject failed!\n");
        good = false;
    }
    return good;
}

int CImageView::UpdateImageView() {
    if (m_hWnd == nullptr || m_pImageQueue == nullptr) {
        return 0;
    }
    int result = 1;
    m_bRefreshing = true;
    SendMessageW(m_hList, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(m_hList);
    ImageList_Remove(m_pImageList, -1);

    const int count = m_pImageQueue->GetCount();
    for (int i = 0; i < count; ++i) {
        const ImageDataStruct* record = m_pImageQueue->GetAt(i);
        if (!AddThumbnail(record != nullptr ? record->pThumbnailData : nullptr,
                          record != nullptr ? record->nThumbnailSize : 0)) {
            result = 0;
        }
    }
    ListView_SetExtendedListViewStyleEx(m_hList, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT,
                                        LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    ListView_SetImageList(m_hList, m_pImageList, LVSIL_NORMAL);

    for (int i = 0; i < count; ++i) {
        const ImageDataStruct* record = m_pImageQueue->GetAt(i);
        if (record == nullptr) {
            continue;
        }
        wchar_t text[32];
        std::swprintf(text, std::size(text), L"%.2d:%.2d:%.2d ", record->stTime.wHour,
                      record->stTime.wMinute, record->stTime.wSecond);
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_IMAGE;
        item.iItem = i;
        item.iImage = i;
        item.pszText = text;
        const int inserted = static_cast<int>(
            SendMessageW(m_hList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (inserted >= 0) {
            SetChecked(inserted, record->bSelected != 0);
        }
    }
    SendMessageW(m_hList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(m_hList, nullptr, TRUE);
    m_bRefreshing = false;
    return result;
}

bool CImageView::IsChecked(int item) const {
    return (ListView_GetItemState(m_hList, item, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) ==
           kChecked;
}

void CImageView::SetChecked(int item, bool checked) {
    ListView_SetItemState(m_hList, item, checked ? kChecked : kUnchecked, LVIS_STATEIMAGEMASK);
}

void CImageView::OnItemChanged(const NMLISTVIEW& change) {
    if (m_bRefreshing || (change.uChanged & LVIF_STATE) == 0 || change.iItem < 0) {
        return;
    }
    // Only the check mark counts: a focused or highlighted item carries more state bits, and
    // its check box must work all the same.
    const UINT newImage = change.uNewState & LVIS_STATEIMAGEMASK;
    const UINT oldImage = change.uOldState & LVIS_STATEIMAGEMASK;
    if (oldImage == 0 || newImage == oldImage) {
        return;
    }
    if (newImage == kChecked) {
        m_pImageQueue->SetSelection(change.iItem, 1);
    } else if (newImage == kUnchecked) {
        m_pImageQueue->SetSelection(change.iItem, 0);
    }
}

void CImageView::OnSelectAll() {
    const int count = m_pImageQueue->GetCount();
    for (int i = 0; i < count; ++i) {
        SetChecked(i, true);
    }
}

void CImageView::OnDeselectAll() {
    const int count = m_pImageQueue->GetCount();
    for (int i = 0; i < count; ++i) {
        if (IsChecked(i)) {
            SetChecked(i, false);
        }
    }
}

void CImageView::OnDeleteSelected() {
    const int count = m_pImageQueue->GetCount();
    if (count == 0 || m_pImageQueue->GetSelectedCount() == 0) {
        return;
    }
    // The store can change while the question is open (a new exposure, a fetch over the pipe):
    // the checked images are remembered by their file names, which no other image can share.
    std::vector<std::wstring> checked;
    for (int i = 0; i < count; ++i) {
        const ImageDataStruct* record = m_pImageQueue->GetAt(i);
        if (record != nullptr && IsChecked(i)) {
            checked.push_back(m_pImageQueue->MakeImageFileName(record));
        }
    }
    if (checked.empty()) {
        return;
    }
    wchar_t question[200];
    wchar_t caption[200];
    wchar_t yes[200];
    wchar_t no[200];
    std::wcscpy(question, Text(140));
    std::wcscpy(caption, Text(131));
    std::wcscpy(yes, Text(119));
    std::wcscpy(no, Text(120));
    if (ConfirmBox(question, caption, 2, 2, yes, no) != 1) {
        return;
    }
    bool fileStays = false;
    for (const std::wstring& name : checked) {
        for (int i = 0; i < m_pImageQueue->GetCount(); ++i) {
            const ImageDataStruct* record = m_pImageQueue->GetAt(i);
            if (record == nullptr || m_pImageQueue->MakeImageFileName(record) != name) {
                continue;
            }
            if (!m_pImageQueue->RemoveAt(i, TRUE)) {
                TheLogFile().Write(LOG_WARN,
                                   "CImageView::OnDeleteSelected(): an image file could not be "
                                   "deleted; it is recorded as delivered and not offered again. "
                                   "Delete it from the Images folder by hand.\n");
                fileStays = true;
            }
            break;
        }
    }
    UpdateImageView();
    if (fileStays) {
        std::wcscpy(question, Text(IDS_IMAGE_NOT_DELETED));
        MessageBoxW(m_hWnd, question, caption, MB_OK | MB_ICONWARNING);
    }
    if (m_pImageQueue->GetCount() == 0) {
        PostMessageW(m_hOwnerWnd, UM_REMOVE_IMAGES_ICON, 0, 0);
    }
}

LRESULT CImageView::OnViewBusy(WPARAM wParam) {
    if (wParam == 1) {
        m_hWaitCursor = LoadCursorW(nullptr, IDC_WAIT);
        m_bBusy = TRUE;
        HCURSOR previous = SetCursor(m_hWaitCursor);
        // A second start keeps the cursor of the first.
        if (previous != m_hWaitCursor) {
            m_hPrevCursor = previous;
        }
    } else {
        if (m_hPrevCursor != nullptr) {
            SetCursor(m_hPrevCursor);
        }
        m_bBusy = FALSE;
    }
    return 1;
}
