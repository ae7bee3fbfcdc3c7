// A small UI robot for tests: waits on its own thread for a top-level window with a given title
// (or title prefix), records the title and text of the message box, and presses OK when asked to.
// Modal boxes then never hang an automated run.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

class BoxWatcher {
public:
    // pressOkAfterMs < 0: leave the box alone (it must close itself).
    BoxWatcher(std::wstring titlePrefix, int pressOkAfterMs);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    // Waits for the robot to finish (it gives up after `timeoutMs` without a box).
    void Join();
    bool Seen() const { return m_seen; }
    const std::wstring& Title() const { return m_title; }
    const std::wstring& Text() const { return m_text; }

private:
    void Watch();
    std::wstring m_prefix;
    int m_pressOkAfterMs;
    std::atomic<bool> m_stop{false};
    bool m_seen = false;
    std::wstring m_title;
    std::wstring m_text;
    std::thread m_thread;
};
