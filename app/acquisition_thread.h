// QOR APP's sensor side: starting and stopping the sensor (through CQor), the thread that keeps
// it armed and reads each exposure, and the hand-off of the read frames to the main thread.
// It reaches the controller only through CAcquisitionHost and the messages it posts to the main
// window (UM_IMAGE_EVENT with kImageEventFromAcquisition, UM_SET_SENSOR_ICON).
#pragma once

#include <windows.h>

#include <atomic>

#include "app/app_messages.h"
#include "app/qor_binding.h"
#include "app/raw_frame_list.h"
#include "driver/win/qor_api.h"

// The controller as the sensor side sees it. Every call comes on the main thread.
class CAcquisitionHost {
public:
    // A message box with the language's string `id`.
    virtual void ShowAcquisitionMessage(UINT id) = 0;
    // The sensor icon's picture.
    virtual void ShowSensorIcon(SensorIconKind kind) = 0;
    // A frame read from the sensor, to be stored (the frame stays the caller's).
    virtual void StoreSensorFrame(const RawFrame& frame) = 0;

protected:
    ~CAcquisitionHost() = default;
};

class CAcquisitionThread {
public:
    explicit CAcquisitionThread(CAcquisitionHost& host) : m_Host(host) {}
    CAcquisitionThread(const CAcquisitionThread&) = delete;
    CAcquisitionThread& operator=(const CAcquisitionThread&) = delete;

    // Loads the driver library (CQor::Initialize); nonzero on success.
    int LoadDriver() { return m_Qor.Initialize(); }
    // Starts the sensor and the thread; `mainWindow` receives the thread's messages.
    void InitializeAcqSystem(HWND mainWindow);
    // Stops the thread and the sensor, storing what was read before the stop. 1 on success.
    int ShutdownAcqSystem();
    // Main thread, for UM_IMAGE_EVENT with kImageEventFromAcquisition: stores the waiting frames.
    void DrainHandOffList();
    // Main thread, for UM_SET_SENSOR_ICON.
    void OnSensorIcon(WPARAM kind);

    // The preview's window for the busy cursor while a frame is read; null while none exists.
    void SetPreviewWindow(HWND window) { m_hImageViewWnd = window; }
    // A sensor thread was started and not yet stopped.
    bool Started() const { return m_pImageAcqThread != nullptr; }
    // True when the thread is still inside a driver call after a stop that timed out.
    bool StillRunning() const;

    int Status() const { return m_eQORAPPStatus; }
    BOOL DriverVersionValid() const { return m_bDriverVersionValid; }
    BOOL HWInfoValid() const { return m_bHWInfoValid; }
    const DriverVersion& Version() const { return m_DriverVersion; }
    const HWInfo& Hardware() const { return m_HWInfo; }

private:
    static DWORD WINAPI ImageAcqThreadFunc(LPVOID acquisition);
    // The thread's body: arm, poll, read, hand off, until a stop is asked for.
    DWORD RunAcquisitionLoop();
    void CountAcquisitionFailure(int& failures);

    CAcquisitionHost& m_Host;
    CQor m_Qor;
    HWND m_hMainWnd = nullptr;
    HANDLE m_pImageAcqThread = nullptr;
    std::atomic<int> m_eQORAPPStatus{QOR_NOT_CONNECTED};
    BOOL m_bDriverVersionValid = FALSE;
    BOOL m_bHWInfoValid = FALSE;
    DriverVersion m_DriverVersion{};
    HWInfo m_HWInfo{};
    std::atomic<HWND> m_hImageViewWnd{nullptr};
    RawFrameList m_HandOffList;
    std::atomic<BOOL> m_bReadyIconShown{FALSE};
    std::atomic<bool> m_bTerminateImageAcqThread{false};
};
