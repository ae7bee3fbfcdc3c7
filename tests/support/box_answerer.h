// A UI robot thread that answers every message box with a given title for as long as it lives
// (not the source's own dialogs, which may carry the same title: a message box is told by its OK
// button). For tests and fuzzers whose calls may or may not raise a box.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

class BoxAnswerer {
public:
    explicit BoxAnswerer(std::wstring title);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Boxes answered so far.
    int Answered() const { return m_answered; }

private:
    void Run();
    std::wstring m_title;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};
