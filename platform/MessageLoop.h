// CMessageLoop: a queue of tasks run on the thread that runs the loop, standing in for a window's
// message queue where there is no window (the command-line tool, the tests). As a notification
// target it hands each finished buffer to its handler on the loop's thread.
//
// Threads: Post and PostWaveDone from any thread; RunUntil and ProcessPending on the
// loop's own thread only. The handler is set before any device reports to the loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/WaveOut.h"

namespace platform {

class CMessageLoop final : public IWaveNotifyTarget {
  public:
    using WaveDoneHandler = std::function<void(HWAVEOUT, WAVEHDR*)>;

    void SetWaveDoneHandler(WaveDoneHandler handler) { m_waveDoneHandler = std::move(handler); }

    void PostWaveDone(HWAVEOUT hWaveOut, WAVEHDR* pHeader) override;
    void Post(std::function<void()> task);

    // Runs tasks until done() holds (tested after each task and every few milliseconds) or the
    // timeout passes; gives done().
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs the tasks already queued.
    void ProcessPending();

  private:
    // Waits until a task is queued or the deadline passes; runs it. false when none came.
    bool RunOne(std::chrono::steady_clock::time_point deadline);

    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_tasks;
    WaveDoneHandler m_waveDoneHandler;
};

}  // namespace platform
