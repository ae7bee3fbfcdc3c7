// Window messages of QOR APP's hidden main window and the controller's status.
// The acquisition thread, the pipe thread, the preview and the tray icons reach
// the main thread only through these messages, so every sender includes this.
#pragma once

#include <windows.h>

// Posted to the main window.
constexpr UINT UM_SHOW_IMAGE_VIEW = WM_USER + 1;   // images icon, left button (wParam x, lParam y)
constexpr UINT UM_TRAY_MENU = WM_USER + 2;         // sensor icon, right button (x, y)
constexpr UINT UM_IMAGE_VIEW_CLOSED = WM_USER + 3; // preview window closed
constexpr UINT UM_REMOVE_IMAGES_ICON = WM_USER + 4;// preview deleted its last image
constexpr UINT UM_IMAGE_EVENT = WM_USER + 5;       // lParam: see ImageEventSource
constexpr UINT UM_SET_SENSOR_ICON = WM_USER + 6;   // wParam: see SensorIconKind
constexpr UINT UM_SENSOR_MENU = WM_USER + 7;       // sensor icon, left button (x, y)

// Posted to itself after refusing the end of the session: tells the user that images could not
// be saved (a box must not hold up the session's question).
constexpr UINT UM_TELL_UNSAVED_IMAGES = WM_USER + 9;

// Posted to the preview window by the acquisition thread (wParam 1 = busy).
constexpr UINT UM_VIEW_BUSY = WM_USER + 8;

// Tray icon callback messages (the shell sends them to each icon's own window).
constexpr UINT UM_SENSOR_TRAY_NOTIFY = WM_APP + 10;
constexpr UINT UM_IMAGES_TRAY_NOTIFY = WM_APP + 11;

// lParam of UM_IMAGE_EVENT.
enum ImageEventSource : LPARAM {
    kImageEventFromAcquisition = 0, // drain the hand-off list
    kImageEventFromPipe = 1,        // send one image to the pipe client
    kImageEventConfirm = 2,         // CONFIRM_IMAGE: wParam points to a qor::pipe::ImageConfirmation;
                                    // the result is 1 when the image left the store, else 0
    kImageEventSelect = 3,          // CHECK_PENDING_EXCEPT, LEND_IMAGE(_EXCEPT): wParam points to a
                                    // PipeSelection (app/pipe_server.h)
    kImageEventClientGone = 4,      // the pipe's client has gone: nothing is lent any more
};

// wParam of UM_SET_SENSOR_ICON (Ready and Error; NotConnected is only set on the main thread).
enum SensorIconKind : WPARAM {
    kSensorIconReady = 0,
    kSensorIconError = 1,
    kSensorIconNotConnected = 2,
};

// m_eQORAPPStatus; the values are fixed, string ids are 104 + value.
enum QORAPPStatus : int {
    QOR_NOT_CONNECTED = 0,
    QOR_INITIALIZING = 1,
    QOR_ERROR = 2,
    QOR_READY = 3,
    QOR_ACQUIRING = 4,
};

// Menu command identifiers (menu resources 130 and 139).
constexpr UINT IDM_STATUS = 109;
constexpr UINT IDM_IMAGE_COUNT = 110;
constexpr UINT IDM_DELETE_ALL_IMAGES = 111;
constexpr UINT IDM_VIEW_IMAGES = 112;
constexpr UINT IDM_TEST_MODE = 113;
constexpr UINT IDM_REMOVE_SENSOR = 114;
constexpr UINT IDM_ACTIVATE_SENSOR = 115;
constexpr UINT IDM_ABOUT = 116;
constexpr UINT IDM_EXIT_QOR = 117;
constexpr UINT IDM_SENSOR_REMOVE = 32789;
