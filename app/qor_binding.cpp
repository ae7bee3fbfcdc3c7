// CQor: the application's run-time binding of the driver library.
#include "app/qor_binding.h"

#include "common/core/log_file.h"

namespace {

template <typename Fn>
void Resolve(HMODULE library, const char* name, Fn& pointer) {
    pointer = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

CQor::~CQor() {
    if (m_hQORDevice != nullptr) {
        QorShutDown();
    }
    if (m_hLibrary != nullptr) {
        FreeLibrary(m_hLibrary);
        m_hLibrary = nullptr;
    }
    m_pQorInitSystem = nullptr;
    m_pQorInitSensor = nullptr;
    m_pQorShutDown = nullptr;
    m_pQorGetHWInfo = nullptr;
    m_pQorGetDriverVersion = nullptr;
    m_pQorAcquireImage = nullptr;
    m_pQorGetCapStatus = nullptr;
    m_pQorGetImgData = nullptr;
    m_pQorCancelAcquireImage = nullptr;
    m_pQorFinishExp = nullptr;
}

int CQor::Initialize() {
    m_hLibrary = LoadLibraryW(L"Qor.dll");
    if (m_hLibrary == nullptr) {
        TheLogFile().WriteFormat(LOG_FATAL, "CQor::Initialize: LoadLibrary Failed! Error code = %d.\n",
                                 static_cast<int>(GetLastError()));
        return 0;
    }
    Resolve(m_hLibrary, "QorInitSystem", m_pQorInitSystem);
    Resolve(m_hLibrary, "QorInitSensor", m_pQorInitSensor);
    Resolve(m_hLibrary, "QorShutDown", m_pQorShutDown);
    Resolve(m_hLibrary, "QorGetHWInfo", m_pQorGetHWInfo);
    Resolve(m_hLibrary, "QorGetDriverVersion", m_pQorGetDriverVersion);
    Resolve(m_hLibrary, "QorAcquireImage", m_pQorAcquireImage);
    Resolve(m_hLibrary, "QorGetCapStatus", m_pQorGetCapStatus);
    Resolve(m_hLibrary, "QorGetImgData", m_pQorGetImgData);
    Resolve(m_hLibrary, "QorCancelAcquireImage", m_pQorCancelAcquireImage);
    Resolve(m_hLibrary, "QorFinishExp", m_pQorFinishExp);
    const bool all = m_pQorInitSystem && m_pQorInitSensor && m_pQorShutDown && m_pQorGetHWInfo &&
                     m_pQorGetDriverVersion && m_pQorAcquireImage && m_pQorGetCapStatus &&
                     m_pQorGetImgData && m_pQorCancelAcquireImage && m_pQorFinishExp;
    return all ? 1 : 0;
}

int CQor::QorInitSystem() {
    if (m_pQorInitSystem == nullptr) {
        TheLogFile().Write(LOG_FATAL,
                           "CQor::QorInitSystem: QorInitSystem Failed! Invalid pointer or handle!\n");
        return 0;
    }
    m_hQORDevice = m_pQorInitSystem(0);
    if (m_hQORDevice == nullptr) {
        TheLogFile().Write(LOG_FATAL,
                           "CQor::QorInitSystem: QorInitSystem Failed ! m_hQORDevice = NULL\n");
        return 0;
    }
    return 1;
}

int CQor::QorInitSensor() {
    return Call(m_pQorInitSensor != nullptr,
                "CQor::QorInitSensor: QorInitSensor Failed! Invalid pointer or handle!\n",
                "CQor::QorInitSensor: QorInitSensor Failed! QorInitSensor API failed!\n",
                [&] { return m_pQorInitSensor(m_hQORDevice); });
}

int CQor::QorShutDown() {
    int result = 0;
    if (m_hQORDevice != nullptr && m_pQorShutDown != nullptr) {
        result = m_pQorShutDown(m_hQORDevice);
    }
    m_hQORDevice = nullptr;
    if (result == 0) {
        TheLogFile().Write(LOG_FATAL, "CQor::QorShutDown: QorShutDown API failed!\n");
    }
    return result;
}

int CQor::QorGetHWInfo(HWInfo* info) {
    return Call(info != nullptr && m_pQorGetHWInfo != nullptr,
                "CQor::QorGetHWInfo: Invalid pointer or handle!\n",
                "CQor::QorGetHWInfo: QorGetHWInfo API failed!\n",
                [&] { return m_pQorGetHWInfo(m_hQORDevice, info); });
}

int CQor::QorGetDriverVersion(DriverVersion* version) {
    // The handle is required although the entry does not take it.
    return Call(version != nullptr && m_pQorGetDriverVersion != nullptr,
                "CQor::QorGetDriverVersion: Invalid pointer or handle!\n",
                "CQor::QorGetDriverVersion: QorGetDriverVersion API failed!\n",
                [&] { return m_pQorGetDriverVersion(version) != nullptr ? 1 : 0; });
}

int CQor::QorAcquireImage() {
    return Call(m_pQorAcquireImage != nullptr, "CQor::QorAcquireImage: Invalid pointer or handle!\n",
                "CQor::QorAcquireImage: QorAcquireImage API failed!\n",
                [&] { return m_pQorAcquireImage(m_hQORDevice); });
}

int CQor::QorGetCapStatus(int32_t* status) {
    return Call(status != nullptr && m_pQorGetCapStatus != nullptr,
                "CQor::QorGetCapStatus: Invalid pointer or handle!\n",
                "CQor::QorGetCapStatus: QorGetCapStatus API failed!\n",
                [&] { return m_pQorGetCapStatus(m_hQORDevice, status); });
}

int CQor::QorGetImgData(int32_t* buffer, int bytes) {
    return Call(buffer != nullptr && m_pQorGetImgData != nullptr,
                "CQor::QorGetImgData: Invalid pointer or handle!\n",
                "CQor::QorGetImgData: QorGetImgData API failed!\n",
                [&] { return m_pQorGetImgData(m_hQORDevice, buffer, bytes); });
}

int CQor::QorCancelAcquireImage() {
    return Call(m_pQorCancelAcquireImage != nullptr,
                "CQor::QorCancelAcquireImage: Invalid pointer or handle!\n",
                "CQor::QorCancelAcquireImage: QorCancelAcquireImage API failed!\n",
                [&] { return m_pQorCancelAcquireImage(m_hQORDevice); });
}
