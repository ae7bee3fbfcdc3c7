// CQorApp: start-up, the tray menus, the commands and the exit of QOR APP.
#include "app/qor_app.h"

#include "app/about_box.h"
#include "app/confirm_box.h"
#include "app/image_view.h"
#include "app/pipe_server.h"
#include "app/resources/app_resource.h"
#include "app/test_image_file.h"
#include "common/core/catch_all.h"
#include "common/core/log_file.h"
#include "common/core/stage_trace.h"
#include "common/core/pipe_messages.h"

#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t kRegistryKey[] = L"SOFTWARE\\Halvex Imaging\\QOR";
constexpr UINT kBalloonTimeout = 10000;
constexpr UINT kFullStoreBalloonTimeout = 10;
constexpr UINT kAnimationPeriodMs = 1000;

// String ids of the status texts start at 104 (QOR_NOT_CONNECTED).
constexpr UINT kStatusTextBase = 104;

// The registry view the installer writes: the shipped 32-bit program reads the 32-bit view;
// the 64-bit test build reads its own view, where the test set-up writes the values.
#if defined(_WIN64)
constexpr REGSAM kLanguageKeyView = 0;
#else
constexpr REGSAM kLanguageKeyView = KEY_WOW64_32KEY;
#endif

HICON LoadTrayIcon(HMODULE module, int id) {
    // An icon of its own (not shared), so it outlives the library it came from.
    return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

}  // namespace

CQorApp::CQorApp() {
    // The store has already loaded the images from disk (its constructor).
    m_hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                            MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 0, 0,
                                            LR_DEFAULTSIZE));
}

CQorApp::~CQorApp() {
    DestroyImageView();
    if (m_hTrayMenu != nullptr) {
        DestroyMenu(m_hTrayMenu);
    }
    if (m_hSensorMenu != nullptr) {
        DestroyMenu(m_hSensorMenu);
    }
    for (HICON icon : {m_hReadyIcon, m_hNotConnectedIcon, m_hErrorIcon, m_hImagesFrame1,
                       m_hImagesFrame2, m_hIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

INT_PTR CQorApp::DoModal() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_QORAPP_DIALOG),
                           nullptr, &CQorApp::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CQorApp::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CatchAll<INT_PTR>(FALSE, [&]() -> INT_PTR {
        if (message == WM_INITDIALOG) {
            auto* self = reinterpret_cast<CQorApp*>(lParam);
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            self->m_hWnd = window;
            return self->OnInitDialog();
        }
        auto* self = reinterpret_cast<CQorApp*>(GetWindowLongPtrW(window, DWLP_USER));
        if (self == nullptr) {
            return FALSE;
        }
        return self->HandleMessage(message, wParam, lParam);
    });
}

INT_PTR CQorApp::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_PAINT:
        OnPaint();
        return TRUE;
    case WM_CLOSE:
        // Closed from outside (task manager, end of session): the same orderly exit as
        // "Exit QOR", so that no thread outlives the objects it uses.
        if (!m_bExiting) {
            OnExitqor();
            return TRUE;
        }
        DestroyImageView();
        EndDialog(m_hWnd, IDCANCEL);
        return TRUE;
    case UM_SHOW_IMAGE_VIEW:
        OnViewImages();
        return TRUE;
    case UM_TRAY_MENU:
        OnTrayMenu(static_cast<int>(wParam), static_cast<int>(lParam));
        return TRUE;
    case UM_IMAGE_VIEW_CLOSED:
        OnImageViewClosed();
        return TRUE;
    case UM_REMOVE_IMAGES_ICON:
        RemoveNotifyIcon();
        return TRUE;
    case UM_IMAGE_EVENT:
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnImageEvent(wParam, lParam));
        return TRUE;
    case UM_SET_SENSOR_ICON:
        m_Acquisition.OnSensorIcon(wParam);
        return TRUE;
    case UM_SENSOR_MENU:
        OnSensorMenu(static_cast<int>(wParam), static_cast<int>(lParam));
        return TRUE;
    case WM_QUERYENDSESSION:
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnQueryEndSession());
        return TRUE;
    case WM_ENDSESSION:
        OnEndSession(static_cast<BOOL>(wParam));
        return TRUE;
    case UM_TELL_UNSAVED_IMAGES:
        TellImagesNotSaved();
        return TRUE;
    default:
        return FALSE;
    }
}

void CQorApp::OnCommand(UINT id) {
    switch (id) {
    case IDM_DELETE_ALL_IMAGES:
        OnDeleteAllImages();
        break;
    case IDM_VIEW_IMAGES:
        OnViewImages();
        break;
    case IDM_TEST_MODE:
        OnTestmode();
        break;
    case IDM_REMOVE_SENSOR:
        OnRemoveSensor();
        break;
    case IDM_ACTIVATE_SENSOR:
        OnActivateSensor();
        break;
    case IDM_ABOUT:
        OnAbout();
        break;
    case IDM_EXIT_QOR:
        OnExitqor();
        break;
    case IDM_SENSOR_REMOVE:
        if (Status() != QOR_NOT_CONNECTED) {
            OnRemoveSensor();
        }
        break;
    case IDCANCEL:
        // Escape on the hidden dialog must not end the program; only "Exit QOR" does.
    default:
        break;
    }
}

void CQorApp::OnPaint() {
    if (IsIconic(m_hWnd)) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(m_hWnd, &paint);
        RECT client;
        GetClientRect(m_hWnd, &client);
        const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
        const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
        DrawIcon(dc, x, y, m_hIcon);
        EndPaint(m_hWnd, &paint);
    } else {
        PAINTSTRUCT paint;
        BeginPaint(m_hWnd, &paint);
        EndPaint(m_hWnd, &paint);
    }
    ShowWindow(m_hWnd, SW_HIDE);
}

const wchar_t* CQorApp::Text(UINT id) {
    m_szMessage[0] = L'\0';
    m_Language.ReadStringFromDLL(id, m_szMessage, static_cast<int>(std::size(m_szMessage)));
    return m_szMessage;
}

void CQorApp::ShowMessage(UINT id) {
    m_szCaption[0] = L'\0';
    m_Language.ReadStringFromDLL(131, m_szCaption, static_cast<int>(std::size(m_szCaption)));
    MessageBoxW(m_hWnd, Text(id), m_szCaption, MB_OK);
}

BOOL CQorApp::OnInitDialog() {
    HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
    if (systemMenu != nullptr && Text(101)[0] != L'\0') {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, m_szMessage);
    }
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    LoadTrayIcons();
    ShowWindow(m_hWnd, SW_HIDE);

    m_SensorIcon.Create(m_hWnd, UM_SENSOR_TRAY_NOTIFY, UM_SENSOR_MENU, UM_TRAY_MENU, Text(142),
                        m_hNotConnectedIcon, 0, nullptr, nullptr, 0, kBalloonTimeout);
    Initialise();
    // A list the store could not read at the start: told once, now that the texts are loaded.
    TellStoreNotices();
    if (m_ImageQueue.GetCount() >= 1) {
        CreateImagesIcon();
        m_ImagesIcon.Animate(m_hImagesFrame1, m_hImagesFrame2, kAnimationPeriodMs);
    }
    return TRUE;
}

void CQorApp::LoadTrayIcons() {
    HMODULE icons = LoadLibraryW(L"QorIcons");
    if (icons != nullptr) {
        m_hReadyIcon = LoadTrayIcon(icons, 1002);
        m_hNotConnectedIcon = LoadTrayIcon(icons, 1001);
        m_hErrorIcon = LoadTrayIcon(icons, 1003);
        m_hImagesFrame1 = LoadTrayIcon(icons, 5);
        m_hImagesFrame2 = LoadTrayIcon(icons, 1007);
        FreeLibrary(icons);
        return;
    }
    HMODULE own = GetModuleHandleW(nullptr);
    m_hReadyIcon = LoadTrayIcon(own, IDI_SENSOR_READY);
    m_hNotConnectedIcon = LoadTrayIcon(own, IDI_SENSOR_NOT_CONNECTED);
    m_hErrorIcon = LoadTrayIcon(own, IDI_SENSOR_ERROR);
    m_hImagesFrame1 = LoadTrayIcon(own, IDI_IMAGES_FRAME1);
    m_hImagesFrame2 = LoadTrayIcon(own, IDI_IMAGES_FRAME2);
    ShowMessage(103);
    // The log opens later in Initialise, which writes this line then.
    m_bIconLibraryMissing = true;
}

int CQorApp::Initialise() {
    m_bImageViewActive = FALSE;
    m_pPipeCommThread = nullptr;
    m_bTerminatePipeCommThread = false;
    m_pImageView = nullptr;
    HINSTANCE own = GetModuleHandleW(nullptr);
    m_hTrayMenu = LoadMenuW(own, MAKEINTRESOURCEW(IDR_TRAY_MENU));
    m_hSensorMenu = LoadMenuW(own, MAKEINTRESOURCEW(IDR_SENSOR_MENU));
    m_bImagesIconShown = FALSE;

    // Log level.
    DWORD logLevel = 0;
    bool logLevelRead = false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        ShowMessage(103);
    } else {
        DWORD size = sizeof(logLevel);
        DWORD type = 0;
        if (RegQueryValueExW(key, L"LogLevel", nullptr, &type, reinterpret_cast<BYTE*>(&logLevel),
                             &size) != ERROR_SUCCESS ||
            size != sizeof(logLevel)) {
            logLevel = 0;
            ShowMessage(103);
        } else {
            logLevelRead = true;
        }
        RegCloseKey(key);
    }
    // A value outside 0..2 would leave the log closed: everything is logged instead.
    const bool logLevelValid = logLevel <= LOG_FATAL;
    m_nLogLevel = logLevelValid ? static_cast<int>(logLevel) : 0;
    TheLogFile().Open("./QorAPPLog.txt", static_cast<unsigned>(m_nLogLevel));
    if (m_bIconLibraryMissing) {
        TheLogFile().Write(LOG_WARN, "CQorApp: OnInitDialog(): LoadLibrary(QorIcons) Failed\n");
    }
    if (logLevelRead && !logLevelValid) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "Initialise(): LogLevel %lu is outside 0..2; logging at level 0. "
                                 "Set LogLevel to 0, 1 or 2.\n",
                                 static_cast<unsigned long>(logLevel));
    }
    // What the store's loading found (it ran before the log was open).
    for (const std::string& line : m_ImageQueue.TakeReport()) {
        TheLogFile().Write(LOG_WARN, line.c_str());
    }
    if (m_ImageQueue.UsesFallbackFolder()) {
        char folder[MAX_PATH * 3] = {};
        WideCharToMultiByte(CP_UTF8, 0, m_ImageQueue.ImageFolder(), -1, folder, sizeof(folder),
                            nullptr, nullptr);
        TheLogFile().WriteFormat(LOG_WARN,
                                 "Initialise(): InstalPath is not readable; images are stored in "
                                 "%s. Reinstall the QOR driver suite to set it.\n",
                                 folder);
    }

    // Language.
    DWORD languageId = 1033;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ | kLanguageKeyView, &key) !=
        ERROR_SUCCESS) {
        ShowMessage(103);
        TheLogFile().Write(LOG_WARN,
                           "Initialise():  RegOpenKeyEx(): LANG_ID_REG_KEY:  Failed: One or more "
                           "software components are missing \n");
    } else {
        DWORD size = sizeof(languageId);
        if (RegQueryValueExW(key, L"LanguageID", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&languageId), &size) != ERROR_SUCCESS ||
            size != sizeof(languageId)) {
            languageId = 1033;
            ShowMessage(103);
            TheLogFile().Write(LOG_WARN,
                               "Initialise():  RegQueryValueEx() LanguageID Failed: One or more "
                               "software components are missing \n");
        }
        RegCloseKey(key);
    }
    if (!m_Language.Init("Language.ini", L"english", own, L"./")) {
        ShowMessage(103);
        TheLogFile().Write(LOG_WARN,
                           "Initialise():  Language Init() Failed: One or more software "
                           "components are missing \n");
    }
    if (!m_Language.LoadLanguage(static_cast<WORD>(languageId))) {
        ShowMessage(103);
        TheLogFile().Write(LOG_FATAL,
                           "Initialise():  LoadLanguage() Failed: One or more software components "
                           "are missing \n");
    }

    // Pipe server, its thread and the event beside it.
    m_NewImageEvent.Create();
    if (!m_Pipe.Create(reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName), 0, L"")) {
        ShowMessage(102);
        TheLogFile().Write(LOG_FATAL, "Initialise():  PipeServer create Failed \n");
        return 0;
    }
    m_pPipeCommThread = CreateThread(nullptr, 0, &PipeCommThreadFunc,
                                     static_cast<CPipeServerHost*>(this), 0, nullptr);
    if (m_pPipeCommThread == nullptr) {
        ShowMessage(102);
        TheLogFile().Write(LOG_FATAL,
                           "Initialise(): Unexpected Error! m_pPipeCommThread = NULL \n");
        return 0;
    }

    // Driver library and sensor.
    if (!m_Acquisition.LoadDriver()) {
        ShowMessage(103);
        TheLogFile().Write(LOG_INFO, "Initialise(): QorSensor Initialize() failed \n");
        return 0;
    }
    m_Acquisition.InitializeAcqSystem(m_hWnd);
    return 1;
}

void CQorApp::RelabelMenuItem(HMENU menu, UINT id, const wchar_t* text) {
    ModifyMenuW(menu, id, MF_BYCOMMAND | MF_STRING, id, text);
}

void CQorApp::ShowPopup(HMENU menu, int x, int y) {
    HMENU popup = GetSubMenu(menu, 0);
    if (popup == nullptr) {
        return;
    }
    SetForegroundWindow(m_SensorIcon.Window() != nullptr ? m_SensorIcon.Window() : m_hWnd);
    TrackPopupMenu(popup, TPM_RIGHTALIGN, x, y, 0, m_hWnd, nullptr);
    PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

void CQorApp::OnTrayMenu(int x, int y) {
    m_TrayMenuPos = {x, y};
    HMENU popup = GetSubMenu(m_hTrayMenu, 0);
    if (popup == nullptr) {
        return;
    }
    const int status = Status();
    const bool sensorActive = status >= QOR_INITIALIZING && status <= QOR_ACQUIRING;
    RelabelMenuItem(popup, IDM_STATUS, Text(kStatusTextBase + static_cast<UINT>(status)));

    wchar_t label[200];
    Text(110);
    std::swprintf(label, std::size(label), L"%ls: %d", m_szMessage, m_ImageQueue.GetCount());
    RelabelMenuItem(popup, IDM_IMAGE_COUNT, label);
    RelabelMenuItem(popup, IDM_DELETE_ALL_IMAGES, Text(111));
    EnableMenuItem(popup, IDM_DELETE_ALL_IMAGES,
                   MF_BYCOMMAND | (m_ImageQueue.GetCount() == 0 ? MF_GRAYED : MF_ENABLED));
    for (UINT id = IDM_VIEW_IMAGES; id <= IDM_EXIT_QOR; ++id) {
        RelabelMenuItem(popup, id, Text(id));
    }
    EnableMenuItem(popup, IDM_REMOVE_SENSOR,
                   MF_BYCOMMAND | (sensorActive ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(popup, IDM_ACTIVATE_SENSOR,
                   MF_BYCOMMAND | (sensorActive ? MF_GRAYED : MF_ENABLED));
    ShowPopup(m_hTrayMenu, x, y);
}

void CQorApp::OnSensorMenu(int x, int y) {
    m_SensorMenuPos = {x, y};
    HMENU popup = GetSubMenu(m_hSensorMenu, 0);
    if (popup == nullptr) {
        return;
    }
    const int status = Status();
    const bool sensorActive = status >= QOR_INITIALIZING && status <= QOR_ACQUIRING;
    RelabelMenuItem(popup, IDM_SENSOR_REMOVE, Text(sensorActive ? 114 : 139));
    ShowPopup(m_hSensorMenu, x, y);
}

void CQorApp::OnDeleteAllImages() {
    if (m_ImageQueue.GetCount() == 0) {
        return;
    }
    wchar_t question[200];
    wchar_t caption[200];
    wchar_t yes[200];
    wchar_t no[200];
    std::wcscpy(question, Text(118));
    std::wcscpy(caption, Text(131));
    std::wcscpy(yes, Text(119));
    std::wcscpy(no, Text(120));
    if (ConfirmBox(question, caption, 2, 2, yes, no) != 1) {
        return;
    }
    TheLogFile().Write(LOG_INFO, "Delete all images ? : \n");
    if (!m_ImageQueue.DeleteAll(TRUE)) {
        TheLogFile().Write(LOG_WARN,
                           "OnDeleteAllImages: an image file could not be deleted; it is recorded "
                           "as delivered and not offered again. Delete it from the Images folder "
                           "by hand.\n");
        ShowMessage(IDS_IMAGE_NOT_DELETED);
    }
    RefreshImageView();
    RemoveImagesIcon();
}

void CQorApp::OnViewImages() {
    // One preview at a time: a second request brings the open one forward.
    if (m_bImageViewActive && m_pImageView != nullptr) {
        ShowWindow(m_pImageView->Window(), SW_SHOWNORMAL);
        SetForegroundWindow(m_pImageView->Window());
        return;
    }
    if (m_pImageView != nullptr) {
        return;
    }
    m_pImageView = new CImageView(this, &m_ImageQueue, &m_Language);
    if (m_pImageView->Window() == nullptr) {
        DestroyImageView();
        ShowMessage(102);
        return;
    }
    ShowWindow(m_pImageView->Window(), SW_SHOW);
    // Opened from the tray: the window comes in front of the program the user was in.
    SetForegroundWindow(m_pImageView->Window());
    m_pImageView->UpdateImageView();
    m_Acquisition.SetPreviewWindow(m_pImageView->Window());
    m_bImageViewActive = TRUE;
}

void CQorApp::OnImageViewClosed() {
    DestroyImageView();
}

void CQorApp::DestroyImageView() {
    // The acquisition thread stops posting to the window before it goes.
    m_bImageViewActive = FALSE;
    m_Acquisition.SetPreviewWindow(nullptr);
    delete m_pImageView;
    m_pImageView = nullptr;
}

void CQorApp::RefreshImageView() {
    if (m_bImageViewActive && m_pImageView != nullptr) {
        m_pImageView->UpdateImageView();
    }
}

void CQorApp::OnPipeImageSent() {
    RefreshImageView();
}

void CQorApp::ShowSensorIcon(SensorIconKind kind) {
    m_SensorIcon.SetIcon(kind == kSensorIconReady   ? m_hReadyIcon
                         : kind == kSensorIconError ? m_hErrorIcon
                                                    : m_hNotConnectedIcon);
}

LRESULT CQorApp::OnImageEvent(WPARAM wParam, LPARAM lParam) {
    if (lParam != kImageEventFromAcquisition) {
        return OnPipeImageEvent(wParam, lParam);
    }
    m_Acquisition.DrainHandOffList();
    return 0;
}

int CQorApp::HandleNewImage(NewImageKind kind, void* data, int size, int height, int width) {
    ImageDataStruct* record = MakeNewImageRecord(kind, data, size, height, width);
    if (record == nullptr) {
        return 0;
    }
    if (!m_bImagesIconShown) {
        CreateImagesIcon();
    }
    m_ImageQueue.Add(record);
    qor::MarkStage("stored");
    // The pipe's count includes the image now (the store keeps it even when full): a waiting
    // client may ask.
    m_NewImageEvent.Signal();
    qor::MarkStage("announced");
    // The store's own balloon (an image moved out, a failed write) says more than the fill's.
    const bool told = TellStoreNotices();
    if (m_bImagesIconShown) {
        const int fill = m_ImageQueue.GetFillLevel();
        if (!told && (fill == 1 || fill == 2)) {
            m_SensorIcon.ShowBalloon(Text(130), nullptr, NIIF_NONE, kFullStoreBalloonTimeout);
        }
        m_ImagesIcon.Animate(m_hImagesFrame1, m_hImagesFrame2, kAnimationPeriodMs);
    }
    if (m_bImageViewActive) {
        if (m_pImageView == nullptr) {
            TheLogFile().Write(LOG_WARN,
                               "HandleNewImage: m_bImageViewActive TRUE, m_pImageView is NULL \n");
        } else {
            RefreshImageView();
        }
    }
    return 0;
}

void CQorApp::OnTestmode() {
    const TestImageFile image = ReadTestImageFile();
    if (image.bytes == nullptr) {
        ShowMessage(image.errorText);
        return;
    }
    HandleNewImage(NewImageKind::FinishedBitmap, image.bytes, static_cast<int>(image.size), 0, 0);
}

void CQorApp::OnRemoveSensor() {
    if (m_Acquisition.ShutdownAcqSystem()) {
        TheLogFile().Write(LOG_INFO, "OnRemoveSensor: ShutdownAcqSystem successful.\n");
        m_SensorIcon.ShowBalloon(Text(122), nullptr, NIIF_NONE, kBalloonTimeout);
    } else {
        TheLogFile().Write(LOG_WARN, "OnRemoveSensor: ShutdownAcqSystem failed!\n");
        ShowMessage(102);
    }
}

void CQorApp::OnActivateSensor() {
    // The menu greys the item while a sensor is active; a command sent anyway must not start a
    // second acquisition thread on the same sensor.
    if (m_Acquisition.Started()) {
        return;
    }
    m_Acquisition.InitializeAcqSystem(m_hWnd);
}

void CQorApp::OnAbout() {
    ShowAboutBox(m_hWnd, m_Acquisition.DriverVersionValid(), m_Acquisition.HWInfoValid(),
                 m_Acquisition.Version(), m_Acquisition.Hardware(), m_Language);
}

void CQorApp::CreateImagesIcon() {
    m_ImagesIcon.Create(m_hWnd, UM_IMAGES_TRAY_NOTIFY, UM_SHOW_IMAGE_VIEW, 0, Text(143),
                        m_hImagesFrame1, 1, nullptr, nullptr, 0, kBalloonTimeout);
    m_bImagesIconShown = TRUE;
}

void CQorApp::RemoveImagesIcon() {
    m_ImagesIcon.StopAnimation();
    m_ImagesIcon.RemoveIcon();
    m_bImagesIconShown = FALSE;
}

void CQorApp::OnPipeStoreEmptied() {
    if (m_bImagesIconShown) {
        RemoveImagesIcon();
    }
}

void CQorApp::RemoveNotifyIcon() {
    if (!m_bImagesIconShown) {
        TheLogFile().Write(LOG_WARN, "RemoveNotifyIcon: Invalid sequence!\n");
        return;
    }
    RemoveImagesIcon();
}

bool CQorApp::SaveImagesBeforeEnd(const char* when) {
    const int unsaved = m_ImageQueue.UnsavedCount();
    if (unsaved == 0) {
        return true;
    }
    const int left = m_ImageQueue.SaveUnsaved();
    if (left == 0) {
        TheLogFile().WriteFormat(LOG_INFO, "%s: %d image(s) kept in memory are now saved.\n", when,
                                 unsaved);
        return true;
    }
    TheLogFile().WriteFormat(LOG_FATAL,
                             "%s: %d image(s) could not be saved into %s; QOR APP keeps running "
                             "so that they are not lost. Free disk space or make the folder "
                             "writable.\n",
                             when, left, ImageFolderForLog().c_str());
    return false;
}

std::string CQorApp::ImageFolderForLog() {
    char folder[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, m_ImageQueue.ImageFolder(), -1, folder, sizeof(folder),
                        nullptr, nullptr);
    return folder;
}

bool CQorApp::TellStoreNotices() {
    for (const std::string& line : m_ImageQueue.TakeReport()) {
        TheLogFile().Write(LOG_WARN, line.c_str());
    }
    bool told = false;
    if (m_ImageQueue.TakeNotice(StoreNotice::RecordsInDoubt)) {
        ShowStoreBalloon(IDS_IMAGES_IN_DOUBT_BALLOON, m_ImageQueue.ImageFolder());
        told = true;
    }
    if (m_ImageQueue.TakeNotice(StoreNotice::OldestMovedOut)) {
        ShowStoreBalloon(IDS_OLDEST_MOVED_OUT_BALLOON, nullptr);
        told = true;
    }
    if (m_ImageQueue.TakeNotice(StoreNotice::NoRoomMade)) {
        ShowStoreBalloon(IDS_NO_ROOM_MADE_BALLOON, nullptr);
        told = true;
    }
    // Last: of several balloons the shell shows the latest, and a failed write matters most.
    if (m_ImageQueue.TakeNotice(StoreNotice::WriteFailed)) {
        TellStoreWriteFailure();
        told = true;
    }
    return told;
}

void CQorApp::TellStoreWriteFailure() {
    TheLogFile().WriteFormat(LOG_FATAL,
                             "HandleNewImage: the image file could not be written into %s; the "
                             "image is kept in memory. Free disk space or make the folder "
                             "writable.\n",
                             ImageFolderForLog().c_str());
    // A balloon, not a box: images keep arriving while the user reads it. The text comes from
    // the language; the folder follows on its own line.
    ShowStoreBalloon(IDS_IMAGE_NOT_SAVED_BALLOON, m_ImageQueue.ImageFolder());
}

void CQorApp::ShowStoreBalloon(UINT id, const wchar_t* detail) {
    wchar_t text[512];
    std::swprintf(text, std::size(text), detail != nullptr ? L"%ls\n%ls" : L"%ls", Text(id),
                  detail);
    wchar_t title[200];
    std::wcscpy(title, Text(131));
    m_SensorIcon.ShowBalloon(text, title, NIIF_WARNING, 10000);
}

void CQorApp::TellImagesNotSaved() {
    ShowMessage(IDS_IMAGES_NOT_SAVED_AT_EXIT);
}

BOOL CQorApp::OnQueryEndSession() {
    if (SaveImagesBeforeEnd("OnQueryEndSession")) {
        return TRUE;
    }
    // Answered at once; the box follows, so that the session's question is not held up.
    PostMessageW(m_hWnd, UM_TELL_UNSAVED_IMAGES, 0, 0);
    return FALSE;
}

void CQorApp::OnEndSession(BOOL ending) {
    if (ending) {
        SaveImagesBeforeEnd("OnEndSession");
    }
}

void CQorApp::OnExitqor() {
    if (m_bExiting) {
        return;
    }
    // Images only in memory (a full or read-only disk) would end with the process.
    if (!SaveImagesBeforeEnd("OnExitqor")) {
        TellImagesNotSaved();
        return;
    }
    m_bExiting = true;
    if (m_pPipeCommThread != nullptr) {
        TheLogFile().Write(LOG_INFO, "OnExitqor: Waiting for Pipe Comm Thread to exit...\n");
        m_bTerminatePipeCommThread = true;
        // Sent messages are handled while waiting: a GET_IMAGES that waits for the main thread
        // is answered instead of holding the exit up.
        const DWORD wait = WaitForPipeCommThread(m_pPipeCommThread, 2000);
        if (wait == WAIT_OBJECT_0) {
            TheLogFile().Write(LOG_INFO, "OnExitqor: Pipe Comm Thread exited successfully.\n");
        } else if (wait == WAIT_TIMEOUT) {
            TheLogFile().Write(LOG_INFO,
                               "OnExitqor: Waiting for Pipe Comm Thread to exit. Wait timed out!\n");
        } else {
            TheLogFile().WriteFormat(LOG_INFO,
                                     "OnExitqor: Waiting for Pipe Comm Thread to exit. Unknown "
                                     "Error! Error Code: %d\n",
                                     static_cast<int>(GetLastError()));
        }
    } else {
        TheLogFile().Write(LOG_INFO, "OnExitqor: Thread variable, invalid state!\n");
    }
    DestroyImageView();
    if (Status() != QOR_NOT_CONNECTED) {
        // The sensor stops before the store lets go of its images, so that a frame read during
        // the exit still reaches the disk (ShutdownAcqSystem stores what is waiting).
        m_Acquisition.ShutdownAcqSystem();
        if (AcquisitionThreadStillRunning()) {
            TheLogFile().Write(LOG_FATAL,
                               "OnExitqor: the Image Acq Thread is still inside the driver; QOR "
                               "APP ends without unloading the driver. Unplug the sensor before "
                               "starting QOR APP again.\n");
        }
    }
    // A frame read during the stop was stored just now: it too must be on disk.
    if (!SaveImagesBeforeEnd("OnExitqor")) {
        // Stay, with the pipe served again; the sensor is off until activated.
        m_bExiting = false;
        if (m_pPipeCommThread != nullptr &&
            WaitForSingleObject(m_pPipeCommThread, 0) == WAIT_OBJECT_0) {
            CloseHandle(m_pPipeCommThread);
            m_pPipeCommThread = nullptr;
        }
        if (m_pPipeCommThread == nullptr) {
            m_bTerminatePipeCommThread = false;
            m_pPipeCommThread = CreateThread(nullptr, 0, &PipeCommThreadFunc,
                                             static_cast<CPipeServerHost*>(this), 0, nullptr);
        }
        TellImagesNotSaved();
        return;
    }
    if (!m_ImageQueue.DeleteAll(FALSE)) {
        TheLogFile().Write(LOG_INFO, "OnExitqor: CImageQueue::DeleteAll() Failed!\n");
    }
    if (!m_Pipe.Close()) {
        TheLogFile().Write(LOG_WARN, "OnExitqor: CNamedPipe::Close() Failed!\n");
    }
    // The pipe thread sees its stop flag once the pipe is closed under a silent client.
    if (m_pPipeCommThread != nullptr) {
        WaitForSingleObject(m_pPipeCommThread, 2000);
        CloseHandle(m_pPipeCommThread);
        m_pPipeCommThread = nullptr;
    }
    if (m_bImagesIconShown) {
        if (!m_ImagesIcon.StopAnimation()) {
            TheLogFile().Write(LOG_WARN,
                               "OnExitqor: CSystemTray::StopAnimation() of Notify Icon Failed!\n");
        }
        if (!m_ImagesIcon.RemoveIcon()) {
            TheLogFile().Write(LOG_WARN,
                               "OnExitqor: CSystemTray::RemoveIcon() of Notify Icon Failed!\n");
        }
        m_bImagesIconShown = FALSE;
    }
    if (!m_SensorIcon.RemoveIcon()) {
        TheLogFile().Write(LOG_WARN, "OnExitqor: CSystemTray::RemoveIcon() of QOR Icon Failed!\n");
    }
    SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}
