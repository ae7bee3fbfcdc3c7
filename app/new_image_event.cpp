#include "app/new_image_event.h"

#include "common/core/log_file.h"
#include "common/core/pipe_messages.h"

CNewImageEvent::~CNewImageEvent() {
    if (m_hEvent != nullptr) {
        CloseHandle(m_hEvent);
    }
}

void CNewImageEvent::Create() {
    if (m_hEvent != nullptr) {
        return;
    }
    m_hEvent = CreateEventW(nullptr, FALSE, FALSE,
                            reinterpret_cast<const wchar_t*>(qor::pipe::kNewImageEventName));
    if (m_hEvent == nullptr) {
        TheLogFile().WriteFormat(LOG_WARN,
                                 "CNewImageEvent: the new-image event cannot be created (error "
                                 "%lu); clients find new images by polling the pipe.\n",
                                 static_cast<unsigned long>(GetLastError()));
    }
}

void CNewImageEvent::Signal() {
    if (m_hEvent != nullptr) {
        SetEvent(m_hEvent);
    }
}
