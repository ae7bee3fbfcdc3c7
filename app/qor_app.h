// CQorApp: the hidden main dialog of QOR APP. It owns the sensor side (CAcquisitionThread), the
// image store, the pipe server, the two tray icons and the texts. Every handler runs on the main
// thread; the acquisition and pipe threads reach it only through posted or sent messages and the
// stop flags, and their main-thread halves call it through their host interfaces.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "app/acquisition_thread.h"
#include "app/app_messages.h"
#include "app/image_queue.h"
#include "app/new_image_event.h"
#include "app/new_image_record.h"
#include "app/pipe_server.h"
#include "app/system_tray.h"
#include "common/language.h"
#include "common/named_pipe.h"

class CImageView;

class CQorApp : public CPipeServerHost, public CAcquisitionHost {
public:
    CQorApp();
    ~CQorApp();
    CQorApp(const CQorApp&) = delete;
    CQorApp& operator=(const CQorApp&) = delete;

    // Shows the dialog modally; returns when it ends.
    INT_PTR DoModal();

    HWND Window() const { return m_hWnd; }
    CImageQueue& Store() { return m_ImageQueue; }
    CNamedPipe& Pipe() { return m_Pipe; }
    int Status() const { return m_Acquisition.Status(); }
    BOOL ImagesIconShown() const { return m_bImagesIconShown; }
    // True when the acquisition thread was still inside a driver call at the exit: the process
    // must then end without unloading the driver under it (no clean-up of this object).
    bool AcquisitionThreadStillRunning() const { return m_Acquisition.StillRunning(); }

    // Part of the start-up (also called by tests in this order).
    BOOL OnInitDialog();
    int Initialise();

    // Commands.
    void OnDeleteAllImages();
    void OnViewImages();
    void OnTestmode();
    void OnRemoveSensor();
    void OnActivateSensor();
    void OnAbout();
    void OnExitqor();
    // The box of string IDS_IMAGES_NOT_SAVED_AT_EXIT.
    void TellImagesNotSaved();

    // Messages.
    void OnTrayMenu(int x, int y);
    void OnSensorMenu(int x, int y);
    LRESULT OnImageEvent(WPARAM wParam, LPARAM lParam);
    void OnImageViewClosed();
    void DestroyImageView();
    // Rebuilds the preview after a change of the store, when it is open.
    void RefreshImageView();
    void RemoveNotifyIcon();

    // Stores a new image (a finished bitmap's memory is taken over); 0.
    int HandleNewImage(NewImageKind kind, void* data, int size, int height, int width);

    // The sensor side's view of the application.
    void ShowAcquisitionMessage(UINT id) override { ShowMessage(id); }
    void ShowSensorIcon(SensorIconKind kind) override;
    void StoreSensorFrame(const RawFrame& frame) override {
        HandleNewImage(NewImageKind::RawSensorImage, frame.pBuffer, 0, frame.nHeight, frame.nWidth);
    }

    // The pipe server's view of the application.
    CImageQueue& PipeImageQueue() override { return m_ImageQueue; }
    CNamedPipe& PipeChannel() override { return m_Pipe; }
    HWND PipeMainWindow() override { return m_hWnd; }
    bool PipeStopRequested() override { return m_bTerminatePipeCommThread; }
    void OnPipeImageSent() override;
    void OnPipeStoreEmptied() override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(UINT id);
    void OnPaint();

    // The language string `id` in m_szMessage (empty when missing).
    const wchar_t* Text(UINT id);
    // A message box with string `id` and caption 131.
    void ShowMessage(UINT id);
    void LoadTrayIcons();
    void CreateImagesIcon();
    void RemoveImagesIcon();
    void RelabelMenuItem(HMENU menu, UINT id, const wchar_t* text);
    void ShowPopup(HMENU menu, int x, int y);
    void TellStoreWriteFailure();
    std::string ImageFolderForLog();  // UTF-8, for log lines
    // Logs what the store reported and turns its notices into balloons; true when a balloon
    // was shown.
    bool TellStoreNotices();
    // A balloon of the sensor icon with the language's text `id` and, on its own line, `detail`.
    void ShowStoreBalloon(UINT id, const wchar_t* detail);
    // Before the program may end: writes the images still only in memory. True when every
    // image is on disk; otherwise logs it and returns false (the caller tells the user).
    bool SaveImagesBeforeEnd(const char* when);
    // WM_QUERYENDSESSION: TRUE when the session may end (every image is on disk).
    BOOL OnQueryEndSession();
    // WM_ENDSESSION with the session really ending: a last try to write what is in memory.
    void OnEndSession(BOOL ending);

    // Members in the order of the controller's data model.
    HICON m_hIcon = nullptr;
    wchar_t m_szMessage[200] = {};
    wchar_t m_szCaption[200] = {};
    CAcquisitionThread m_Acquisition{*this};
    CImageQueue m_ImageQueue;
    CNewImageEvent m_NewImageEvent;
    CNamedPipe m_Pipe;
    CSystemTray m_SensorIcon;
    CSystemTray m_ImagesIcon;
    CLanguage m_Language;
    HMENU m_hTrayMenu = nullptr;
    HMENU m_hSensorMenu = nullptr;
    POINT m_TrayMenuPos{};
    POINT m_SensorMenuPos{};
    CImageView* m_pImageView = nullptr;
    HANDLE m_pPipeCommThread = nullptr;
    HICON m_hReadyIcon = nullptr;
    HICON m_hNotConnectedIcon = nullptr;
    HICON m_hErrorIcon = nullptr;
    HICON m_hImagesFrame1 = nullptr;
    HICON m_hImagesFrame2 = nullptr;
    BOOL m_bImagesIconShown = FALSE;
    std::atomic<BOOL> m_bImageViewActive{FALSE};
    std::atomic<bool> m_bTerminatePipeCommThread{false};
    int m_nLogLevel = 0;

    HWND m_hWnd = nullptr;
    bool m_bExiting = false;
    bool m_bIconLibraryMissing = false;
};
