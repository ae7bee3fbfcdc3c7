// CQorApp's acquisition: sensor start and stop, the thread that keeps the sensor armed, and the
// main thread's side of the hand-off (every read frame becomes a stored bitmap).
#include "app/qor_app.h"

#include "app/core/gray_bitmap.h"
#include "app/resources/app_resource.h"
#include "common/core/log_file.h"
#include "common/core/stage_trace.h"

#include <cwchar>

#include <cstdlib>

namespace {

constexpr DWORD kArmDelayMs = 100;
constexpr DWORD kPollDelayMs = 50;
constexpr int kFailuresBeforeErrorIcon = 3;
constexpr DWORD kThreadStopWaitMs = 12000;
constexpr UINT kFullStoreBalloonTimeout = 10;
constexpr UINT kAnimationPeriodMs = 1000;

}  // namespace

void CQorApp::SetSensorIcon(HICON icon) {
    m_SensorIcon.SetIcon(icon);
}

void CQorApp::InitializeAcqSystem() {
    m_eQORAPPStatus = QOR_INITIALIZING;
    if (!m_Qor.QorInitSystem()) {
        m_bHWInfoValid = FALSE;
        m_eQORAPPStatus = QOR_NOT_CONNECTED;
        SetSensorIcon(m_hNotConnectedIcon);
        ShowMessage(141);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem() : QorInitSystem failed \n");
        return;
    }
    if (!m_Qor.QorInitSensor()) {
        m_eQORAPPStatus = QOR_NOT_CONNECTED;
        SetSensorIcon(m_hNotConnectedIcon);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem() : QorInitSensor failed \n");
        ShowMessage(141);
        return;
    }
    if (m_Qor.QorGetHWInfo(&m_HWInfo)) {
        m_bHWInfoValid = TRUE;
    } else {
        ShowMessage(102);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): QorGetHWInfo() failed: \n");
        SetSensorIcon(m_hErrorIcon);
        m_eQORAPPStatus = QOR_ERROR;
    }
    if (m_Qor.QorGetDriverVersion(&m_DriverVersion)) {
        m_bDriverVersionValid = TRUE;
    } else {
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): QorGetDriverVersion() failed: \n");
        SetSensorIcon(m_hErrorIcon);
        m_eQORAPPStatus = QOR_ERROR;
    }
    m_pImageAcqThread = CreateThread(nullptr, 0, &CQorApp::ImageAcqThreadFunc, this, 0, nullptr);
    if (m_pImageAcqThread != nullptr) {
        SetSensorIcon(m_hReadyIcon);
        m_bReadyIconShown = TRUE;
    } else {
        ShowMessage(102);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): m_pImageAcqThread = NULL \n");
        SetSensorIcon(m_hErrorIcon);
    }
}

void CQorApp::CountAcquisitionFailure(int& failures) {
    ++failures;
    if (failures >= kFailuresBeforeErrorIcon && m_bReadyIconShown) {
        PostMessageW(m_hWnd, UM_SET_SENSOR_ICON, kSensorIconError, 0);
        failures = 0;
    }
}

DWORD WINAPI CQorApp::ImageAcqThreadFunc(LPVOID parameter) {
    auto* app = static_cast<CQorApp*>(parameter);
    if (app == nullptr) {
        return 1;
    }
    CLogFile& log = TheLogFile();
    // Nothing signals it: every wait below is a plain timed wait.
    HANDLE pause = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto wait = [pause](DWORD ms) {
        if (pause != nullptr) {
            WaitForSingleObject(pause, ms);
        } else {
            Sleep(ms);
        }
    };
    auto stopRequested = [app] { return app->m_bTerminateImageAcqThread.load(); };
    constexpr char kStopLine[] =
        "ImageAcqThreadFunc: m_eQORAPPStatus is not QOR_ACQUIRING : m_bTerminateImageAcqThread is "
        "TRUE\n";

    int failures = 0;
    bool running = true;
    while (running) {
        // Arm.
        wait(kArmDelayMs);
        if (!app->m_Qor.QorAcquireImage()) {
            app->m_eQORAPPStatus = QOR_ERROR;
            log.Write(LOG_WARN, "QorAcquireImage() failed \n");
            app->CountAcquisitionFailure(failures);
            if (stopRequested()) {
                break;
            }
            continue;
        }
        app->m_eQORAPPStatus = QOR_READY;
        if (stopRequested()) {
            log.Write(LOG_INFO,
                      "ImageAcqThreadFunc: QorAcquireImage()is Success, QOR status READY:  "
                      "m_bTerminateImageAcqThread is TRUE & break\n");
            break;
        }
        // Poll.
        for (;;) {
            if (stopRequested()) {
                log.Write(LOG_WARN, kStopLine);
                running = false;
                break;
            }
            wait(kPollDelayMs);
            int32_t ready = 0;
            if (!app->m_Qor.QorGetCapStatus(&ready)) {
                app->CountAcquisitionFailure(failures);
                app->m_eQORAPPStatus = QOR_ERROR;
                if (stopRequested()) {
                    running = false;
                    break;
                }
                continue;
            }
            if (ready == 1) {
                // A captured exposure is read even when a stop is asked for: the patient has
                // been exposed, and ShutdownAcqSystem stores what was read before the stop.
                if (stopRequested()) {
                    log.Write(LOG_WARN, kStopLine);
                }
                app->m_eQORAPPStatus = QOR_ACQUIRING;
                RawFrame* frame = NewRawFrame();
                if (frame == nullptr) {
                    // No memory for the frame: it stays on the sensor until the next poll.
                    app->m_eQORAPPStatus = QOR_ERROR;
                    log.Write(LOG_FATAL, "ImageAcqThreadFunc: no memory for the image buffer\n");
                    continue;
                }
                // The preview shows the wait cursor while the image is read.
                HWND preview = app->m_hImageViewWnd;
                if (preview != nullptr) {
                    PostMessageW(preview, UM_VIEW_BUSY, 1, 0);
                }
                const BOOL read = app->m_Qor.QorGetImgData(frame->pBuffer, kRawFrameBytes);
                if (preview != nullptr) {
                    PostMessageW(preview, UM_VIEW_BUSY, 0, 0);
                }
                if (read) {
                    frame->nHeight = app->m_HWInfo.height;
                    frame->nWidth = app->m_HWInfo.width;
                    app->m_HandOffList.Append(frame);
                    PostMessageW(app->m_hWnd, UM_IMAGE_EVENT, 0, kImageEventFromAcquisition);
                } else {
                    FreeRawFrame(frame);
                    app->m_eQORAPPStatus = QOR_ERROR;
                    log.Write(LOG_WARN, "ImageAcqThreadFunc: QorGetImgData() failed\n");
                    log.Write(LOG_WARN, "ImageAcqThreadFunc: QorGetImgData() Failed\n");
                }
            }
            if (!app->m_bReadyIconShown) {
                PostMessageW(app->m_hWnd, UM_SET_SENSOR_ICON, kSensorIconReady, 0);
            }
            if (app->m_eQORAPPStatus == QOR_ACQUIRING) {
                if (stopRequested()) {
                    running = false;
                }
                break;
            }
        }
    }
    if (pause != nullptr) {
        CloseHandle(pause);
    }
    log.Write(LOG_INFO, "ImageAcqThreadFunc: End of ImgAcqThreadFunction. \n");
    return 0;
}

void CQorApp::OnSensorIcon(WPARAM kind) {
    // A message posted just before the thread was stopped must not relabel a removed sensor.
    if (m_pImageAcqThread == nullptr) {
        return;
    }
    if (kind == kSensorIconReady) {
        SetSensorIcon(m_hReadyIcon);
        m_bReadyIconShown = TRUE;
    } else if (kind == kSensorIconError) {
        SetSensorIcon(m_hErrorIcon);
        m_bReadyIconShown = FALSE;
    }
}

LRESULT CQorApp::OnImageEvent(WPARAM wParam, LPARAM lParam) {
    if (lParam != kImageEventFromAcquisition) {
        return OnPipeImageEvent(wParam, lParam);
    }
    DrainHandOffList();
    return 0;
}

void CQorApp::DrainHandOffList() {
    // Only the frames present now: one arriving meanwhile comes with its own message.
    for (size_t n = m_HandOffList.Count(); n > 0; --n) {
        RawFrame* frame = m_HandOffList.TakeHead();
        if (frame == nullptr) {
            break;
        }
        HandleNewImage(NewImageKind::RawSensorImage, frame->pBuffer, 0, frame->nHeight,
                       frame->nWidth);
        FreeRawFrame(frame);
    }
}

int CQorApp::HandleNewImage(NewImageKind kind, void* data, int size, int height, int width) {
    ImageDataStruct* record = NewImageRecord();
    if (record == nullptr) {
        if (kind == NewImageKind::FinishedBitmap) {
            std::free(data);
        }
        TheLogFile().Write(LOG_FATAL, "HandleNewImage: no memory for the image record\n");
        return 0;
    }
    if (kind == NewImageKind::RawSensorImage) {
        uint8_t* bitmap = nullptr;
        if (!MakeGray8Bitmap(static_cast<const int32_t*>(data), kRawFramePixels, width, height,
                             &bitmap, record)) {
            // Without a geometry there is no picture to keep: an empty record would only give
            // an empty file and an entry no client can use.
            TheLogFile().WriteFormat(LOG_FATAL,
                                     "HandleNewImage: the sensor image (width %d, height %d) "
                                     "cannot be converted and is not stored. Remove and "
                                     "activate the sensor again.\n",
                                     width, height);
            FreeImageRecord(record);
            return 0;
        }
        record->pImageData = bitmap;
    } else {
        record->pImageData = static_cast<uint8_t*>(data);
        record->nImageSize = size;
    }
    uint8_t* thumbnail = nullptr;
    int32_t thumbnailSize = 0;
    if (MakeThumbnail(record->pImageData, &thumbnail, &thumbnailSize)) {
        record->pThumbnailData = thumbnail;
        record->nThumbnailSize = thumbnailSize;
    }
    if (!m_bImagesIconShown) {
        CreateImagesIcon();
    }
    record->bSelected = 1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    record->stTime = {now.wYear,  now.wMonth,  now.wDayOfWeek, now.wDay,
                      now.wHour,  now.wMinute, now.wSecond,    now.wMilliseconds};
    m_ImageQueue.Add(record);
    qor::MarkStage("stored");
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

void CQorApp::TellStoreWriteFailure() {
    char folder[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, m_ImageQueue.ImageFolder(), -1, folder, sizeof(folder),
                        nullptr, nullptr);
    TheLogFile().WriteFormat(LOG_FATAL,
                             "HandleNewImage: the image file could not be written into %s; the "
                             "image is kept in memory. Free disk space or make the folder "
                             "writable.\n",
                             folder);
    // A balloon, not a box: images keep arriving while the user reads it. The text comes from
    // the language; the folder follows on its own line.
    ShowStoreBalloon(IDS_IMAGE_NOT_SAVED_BALLOON, m_ImageQueue.ImageFolder());
}

int CQorApp::ShutdownAcqSystem() {
    if (m_eQORAPPStatus == QOR_NOT_CONNECTED) {
        TheLogFile().Write(LOG_FATAL, "ShutdownAcqSystem: Thread variable, invalid state!\n");
        return 0;
    }
    int result = 0;
    if (m_pImageAcqThread != nullptr) {
        TheLogFile().Write(LOG_INFO, "ShutdownAcqSystem: Waiting for Image Acq Thread to exit...\n");
        m_bTerminateImageAcqThread = true;
        const DWORD wait = WaitForSingleObject(m_pImageAcqThread, kThreadStopWaitMs);
        if (wait == WAIT_OBJECT_0) {
            TheLogFile().Write(LOG_INFO, "ShutdownAcqSystem: Image Acq Thread exited successfully.\n");
        } else if (wait == WAIT_TIMEOUT) {
            TheLogFile().Write(LOG_INFO,
                               "ShutdownAcqSystem: Waiting for Image Acq Thread to exit. Wait timed "
                               "out!\n");
            // The thread is still inside a driver call: shutting the driver down under it would
            // pull the library's state from under that call. The thread keeps its stop request
            // and ends at its next check; the next ShutdownAcqSystem (or the exit) waits again.
            TheLogFile().Write(LOG_FATAL,
                               "ShutdownAcqSystem: the Image Acq Thread is still running; the "
                               "driver is not shut down under it. Try Remove Sensor again; if "
                               "it still fails, unplug the sensor.\n");
            return 0;
        } else {
            TheLogFile().WriteFormat(LOG_INFO,
                                     "ShutdownAcqSystem: Waiting for Image Acq Thread to "
                                     "exit.Unknown Error! Error Code : %d\n",
                                     static_cast<int>(GetLastError()));
        }
        CloseHandle(m_pImageAcqThread);
        result = 1;
    } else {
        TheLogFile().Write(LOG_WARN, "ShutdownAcqSystem: Thread variable, invalid state!\n");
    }
    // A frame read just before the stop is stored now, not lost with the pending message.
    if (const size_t waiting = m_HandOffList.Count(); waiting > 0) {
        TheLogFile().WriteFormat(LOG_INFO,
                                 "ShutdownAcqSystem: %d image(s) read before the stop are stored.\n",
                                 static_cast<int>(waiting));
        DrainHandOffList();
    }
    m_pImageAcqThread = nullptr;
    m_bTerminateImageAcqThread = false;
    m_eQORAPPStatus = QOR_NOT_CONNECTED;
    m_bHWInfoValid = FALSE;
    m_bDriverVersionValid = FALSE;
    m_HWInfo = HWInfo{};
    m_DriverVersion = DriverVersion{};
    if (m_Qor.QorShutDown()) {
        SetSensorIcon(m_hNotConnectedIcon);
        m_bReadyIconShown = FALSE;
        return result;
    }
    TheLogFile().Write(LOG_WARN, "ShutdownAcqSystem: CQOR::QorShutDown() Failed!\n");
    SetSensorIcon(m_hErrorIcon);
    m_bReadyIconShown = FALSE;
    return 0;
}
