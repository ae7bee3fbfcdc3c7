// CImageView: the preview window of QOR APP. A modeless dialog with one 120 x 86 thumbnail per
// stored image, its time of day and a check box; a checked image is one the data source may
// fetch. Main thread only: the acquisition thread reaches it by posting UM_VIEW_BUSY.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstdint>

class CImageQueue;
class CLanguage;
class CQorApp;

// Dialog resource and its controls.
constexpr int IDD_IMAGE_VIEW = 129;
constexpr int IDC_IMAGE_LIST = 1000;
constexpr int IDC_SELECT_ALL = 1007;
constexpr int IDC_DESELECT_ALL = 1008;
constexpr int IDC_DELETE_SELECTED = 1009;

class CImageView {
public:
    // Creates the hidden window with the owner's window as parent; the owner shows it.
    CImageView(CQorApp* owner, CImageQueue* store, CLanguage* language);
    // Destroys the window and the thumbnails.
    ~CImageView();
    CImageView(const CImageView&) = delete;
    CImageView& operator=(const CImageView&) = delete;

    HWND Window() const { return m_hWnd; }
    // Rebuilds the list from the store: 1, or 0 when a thumbnail step failed (the items and
    // their texts are there regardless).
    int UpdateImageView();

    void OnSelectAll();
    void OnDeselectAll();
    void OnDeleteSelected();
    LRESULT OnViewBusy(WPARAM wParam);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnItemChanged(const NMLISTVIEW& change);
    // Adds the thumbnail of one record to the image list; false when a step failed (a blank
    // picture then keeps the image list's index equal to the store index).
    bool AddThumbnail(const uint8_t* bytes, int32_t size);
    void FitListToThumbnails();
    bool IsChecked(int item) const;
    void SetChecked(int item, bool checked);
    const wchar_t* Text(UINT id);

    // Members in the order of the preview's data model.
    CQorApp* m_pOwner = nullptr;
    BOOL m_bBusy = FALSE;
    HWND m_hList = nullptr;
    HIMAGELIST m_pImageList = nullptr;
    CImageQueue* m_pImageQueue = nullptr;
    CLanguage* m_pobLanguage = nullptr;
    wchar_t m_szText[200] = {};
    HCURSOR m_hWaitCursor = nullptr;
    HCURSOR m_hPrevCursor = nullptr;

    HWND m_hWnd = nullptr;
    HWND m_hOwnerWnd = nullptr;
    // Set while the list is rebuilt: the check marks it sets are the store's, not the user's.
    bool m_bRefreshing = false;
};
