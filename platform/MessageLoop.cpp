#include "platform/MessageLoop.h"

#include <algorithm>

namespace platform {

void CMessageLoop::PostWaveDone(HWAVEOUT hWaveOut, WAVEHDR* pHeader) {
    Post([this, hWaveOut, pHeader] {
        if (m_waveDoneHandler) {
            m_waveDoneHandler(hWaveOut, pHeader);
        }
    });
}

void CMessageLoop::Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.push_back(std::move(task));
    m_posted.notify_one();
}

bool CMessageLoop::RunOne(std::chrono::steady_clock::time_point deadline) {
    std::function<void()> task;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_posted.wait_until(lock, deadline, [this] { return !m_tasks.empty(); })) {
            return false;
        }
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
    }
    task();
    return true;
}

bool CMessageLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    // done() may turn true on another thread with no task posted, so it is looked at again at
    // least this often.
    constexpr std::chrono::milliseconds kRecheck{5};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return done();
        }
        RunOne(std::min(deadline, now + kRecheck));
    }
    return true;
}

void CMessageLoop::ProcessPending() {
    while (RunOne(std::chrono::steady_clock::now())) {
    }
}

}  // namespace platform
