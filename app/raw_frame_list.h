// The hand-off list between the acquisition thread (appends read frames) and the main thread
// (takes them to store them). One lock, so neither thread ever sees the list half-changed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>

// One frame as read from the sensor: int32 pixels, row-major, first row first.
struct RawFrame {
    int32_t* pBuffer = nullptr;  // kRawFrameBytes, std::malloc'd
    int32_t nHeight = 0;
    int32_t nWidth = 0;
};

constexpr int32_t kRawFrameBytes = 4194304;
constexpr int32_t kRawFramePixels = kRawFrameBytes / 4;

inline RawFrame* NewRawFrame() {
    auto* frame = new (std::nothrow) RawFrame;
    if (frame != nullptr) {
        frame->pBuffer = static_cast<int32_t*>(std::malloc(kRawFrameBytes));
        if (frame->pBuffer == nullptr) {
            delete frame;
            return nullptr;
        }
    }
    return frame;
}

inline void FreeRawFrame(RawFrame* frame) {
    if (frame != nullptr) {
        std::free(frame->pBuffer);
        delete frame;
    }
}

class RawFrameList {
public:
    RawFrameList() = default;
    ~RawFrameList() {
        while (RawFrame* frame = TakeHead()) {
            FreeRawFrame(frame);
        }
    }
    RawFrameList(const RawFrameList&) = delete;
    RawFrameList& operator=(const RawFrameList&) = delete;

    void Append(RawFrame* frame) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_frames.push_back(frame);
    }
    // Null when empty.
    RawFrame* TakeHead() {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_frames.empty()) {
            return nullptr;
        }
        RawFrame* frame = m_frames.front();
        m_frames.pop_front();
        if (m_frames.empty()) {
            m_frames.shrink_to_fit();
        }
        return frame;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_frames.size();
    }

private:
    mutable std::mutex m_lock;
    std::deque<RawFrame*> m_frames;
};
