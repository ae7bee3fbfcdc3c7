// QOR APP's side of the new-image event (qor::pipe::kNewImageEventName): set once an image is
// stored and the pipe's count includes it, never before.
#pragma once

#include <windows.h>

class CNewImageEvent {
public:
    CNewImageEvent() = default;
    ~CNewImageEvent();
    CNewImageEvent(const CNewImageEvent&) = delete;
    CNewImageEvent& operator=(const CNewImageEvent&) = delete;

    // Creates the event, or opens it when a client created it first. Without it (the name is
    // taken by another kind of object) clients only find images by polling: logged, not fatal.
    void Create();
    void Signal();

private:
    HANDLE m_hEvent = nullptr;
};
