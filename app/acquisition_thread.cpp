// The sensor side of QOR APP: sensor start and stop, the thread that keeps the sensor armed, and
// the main thread's side of the hand-off (every read frame goes to the host to be stored).
#include "app/acquisition_thread.h"

#include "common/core/catch_all.h"
#include "common/core/log_file.h"

namespace {

constexpr DWORD kArmDelayMs = 100;
constexpr DWORD kPollDelayMs = 50;
constexpr int kFailuresBeforeErrorIcon = 3;
constexpr DWORD kThreadStopWaitMs = 12000;

}  // namespace

void CAcquisitionThread::InitializeAcqSystem(HWND mainWindow) {
    m_hMainWnd = mainWindow;
    m_eQORAPPStatus = QOR_INITIALIZING;
    if (!m_Qor.QorInitSystem()) {
        m_bHWInfoValid = FALSE;
        m_eQORAPPStatus = QOR_NOT_CONNECTED;
        m_Host.ShowSensorIcon(kSensorIconNotConnected);
        m_Host.ShowAcquisitionMessage(141);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem() : QorInitSystem failed \n");
        return;
    }
    if (!m_Qor.QorInitSensor()) {
        m_eQORAPPStatus = QOR_NOT_CONNECTED;
        m_Host.ShowSensorIcon(kSensorIconNotConnected);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem() : QorInitSensor failed \n");
        m_Host.ShowAcquisitionMessage(141);
        return;
    }
    if (m_Qor.QorGetHWInfo(&m_HWInfo)) {
        m_bHWInfoValid = TRUE;
    } else {
        m_Host.ShowAcquisitionMessage(102);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): QorGetHWInfo() failed: \n");
        m_Host.ShowSensorIcon(kSensorIconError);
        m_eQORAPPStatus = QOR_ERROR;
    }
    if (m_Qor.QorGetDriverVersion(&m_DriverVersion)) {
        m_bDriverVersionValid = TRUE;
    } else {
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): QorGetDriverVersion() failed: \n");
        m_Host.ShowSensorIcon(kSensorIconError);
        m_eQORAPPStatus = QOR_ERROR;
    }
    m_pImageAcqThread = CreateThread(nullptr, 0, &ImageAcqThreadFunc, this, 0, nullptr);
    if (m_pImageAcqThread != nullptr) {
        m_Host.ShowSensorIcon(kSensorIconReady);
        m_bReadyIconShown = TRUE;
    } else {
        m_Host.ShowAcquisitionMessage(102);
        TheLogFile().Write(LOG_FATAL, "InitializeAcqSystem(): m_pImageAcqThread = NULL \n");
        m_Host.ShowSensorIcon(kSensorIconError);
    }
}

void CAcquisitionThread::CountAcquisitionFailure(int& failures) {
    ++failures;
    if (failures >= kFailuresBeforeErrorIcon && m_bReadyIconShown) {
        PostMessageW(m_hMainWnd, UM_SET_SENSOR_ICON, kSensorIconError, 0);
        failures = 0;
    }
}

DWORD WINAPI CAcquisitionThread::ImageAcqThreadFunc(LPVOID parameter) {
    auto* acquisition = static_cast<CAcquisitionThread*>(parameter);
    if (acquisition == nullptr) {
        return 1;
    }
    // No exception may leave a thread function: it would end the process with the images that
    // are only in memory. The sensor then stays idle until it is removed and activated again.
    return CatchAll<DWORD>(1, [acquisition]() -> DWORD {
        try {
            return acquisition->RunAcquisitionLoop();
        } catch (...) {
            acquisition->m_eQORAPPStatus = QOR_ERROR;
            TheLogFile().Write(LOG_FATAL,
                               "ImageAcqThreadFunc: ended by an unexpected error. Remove and "
                               "activate the sensor again.\n");
            return 1;
        }
    });
}

DWORD CAcquisitionThread::RunAcquisitionLoop() {
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
    auto stopRequested = [this] { return m_bTerminateImageAcqThread.load(); };
    constexpr char kStopLine[] =
        "ImageAcqThreadFunc: m_eQORAPPStatus is not QOR_ACQUIRING : m_bTerminateImageAcqThread is "
        "TRUE\n";

    int failures = 0;
    bool running = true;
    while (running) {
        // Arm.
        wait(kArmDelayMs);
        if (!m_Qor.QorAcquireImage()) {
            m_eQORAPPStatus = QOR_ERROR;
            log.Write(LOG_WARN, "QorAcquireImage() failed \n");
            CountAcquisitionFailure(failures);
            if (stopRequested()) {
                break;
            }
            continue;
        }
        m_eQORAPPStatus = QOR_READY;
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
            if (!m_Qor.QorGetCapStatus(&ready)) {
                CountAcquisitionFailure(failures);
                m_eQORAPPStatus = QOR_ERROR;
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
                m_eQORAPPStatus = QOR_ACQUIRING;
                RawFrame* frame = NewRawFrame();
                if (frame == nullptr) {
                    // No memory for the frame: it stays on the sensor until the next poll.
                    m_eQORAPPStatus = QOR_ERROR;
                    log.Write(LOG_FATAL, "ImageAcqThreadFunc: no memory for the image buffer\n");
                    continue;
                }
                // The preview shows the wait cursor while the image is read.
                HWND preview = m_hImageViewWnd;
                if (preview != nullptr) {
                    PostMessageW(preview, UM_VIEW_BUSY, 1, 0);
                }
                const BOOL read = m_Qor.QorGetImgData(frame->pBuffer, kRawFrameBytes);
                if (preview != nullptr) {
                    PostMessageW(preview, UM_VIEW_BUSY, 0, 0);
                }
                if (read) {
                    frame->nHeight = m_HWInfo.height;
                    frame->nWidth = m_HWInfo.width;
                    m_HandOffList.Append(frame);
                    PostMessageW(m_hMainWnd, UM_IMAGE_EVENT, 0, kImageEventFromAcquisition);
                } else {
                    FreeRawFrame(frame);
                    m_eQORAPPStatus = QOR_ERROR;
                    log.Write(LOG_WARN, "ImageAcqThreadFunc: QorGetImgData() failed\n");
                    log.Write(LOG_WARN, "ImageAcqThreadFunc: QorGetImgData() Failed\n");
                }
            }
            if (!m_bReadyIconShown) {
                PostMessageW(m_hMainWnd, UM_SET_SENSOR_ICON, kSensorIconReady, 0);
            }
            if (m_eQORAPPStatus == QOR_ACQUIRING) {
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

void CAcquisitionThread::OnSensorIcon(WPARAM kind) {
    // A message posted just before the thread was stopped must not relabel a removed sensor.
    if (m_pImageAcqThread == nullptr) {
        return;
    }
    if (kind == kSensorIconReady) {
        m_Host.ShowSensorIcon(kSensorIconReady);
        m_bReadyIconShown = TRUE;
    } else if (kind == kSensorIconError) {
        m_Host.ShowSensorIcon(kSensorIconError);
        m_bReadyIconShown = FALSE;
    }
}

void CAcquisitionThread::DrainHandOffList() {
    // Only the frames present now: one arriving meanwhile comes with its own message.
    for (size_t n = m_HandOffList.Count(); n > 0; --n) {
        RawFrame* frame = m_HandOffList.TakeHead();
        if (frame == nullptr) {
            break;
        }
        m_Host.StoreSensorFrame(*frame);
        FreeRawFrame(frame);
    }
}

int CAcquisitionThread::ShutdownAcqSystem() {
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
        m_Host.ShowSensorIcon(kSensorIconNotConnected);
        m_bReadyIconShown = FALSE;
        return result;
    }
    TheLogFile().Write(LOG_WARN, "ShutdownAcqSystem: CQOR::QorShutDown() Failed!\n");
    m_Host.ShowSensorIcon(kSensorIconError);
    m_bReadyIconShown = FALSE;
    return 0;
}

bool CAcquisitionThread::StillRunning() const {
    return m_pImageAcqThread != nullptr && WaitForSingleObject(m_pImageAcqThread, 0) == WAIT_TIMEOUT;
}
