// CWavePlayer: streams a block of 16-bit stereo frames held in memory through the wave output
// device. The device keeps a ring of buffers cycling; a feeder thread wakes every poll interval,
// reads the play position and writes the next source frames into the ring up to a lead ahead of
// it, reporting progress after every step. Past the last source frame it writes silence the same
// way, so the ring never plays an earlier turn again; once the device has taken the last frame
// and the tail wait has passed, it plays the device out and closes it itself.
//
// The contract it keeps with the device (WaveOut.h): the position is what the device has taken
// and never goes back, and the device takes at most its burst at once. The lead is the larger of
// (tail wait + poll interval) worth of frames and the burst plus (poll interval + kLateWakeMs)
// worth, so a feeder that wakes up to kLateWakeMs late still writes every frame before the device
// reads it; the ring holds the lead and half as much again. With 100 + 10 ms at 44,100 Hz the lead
// is 4851 frames (110 ms) for any device that takes up to 50 ms at once; a device that takes
// 4096 frames at once gets 6742 frames (153 ms) and a ring of 10 buffers of 1024 frames.
//
// Ownership: owns its device and both ring cursors. The notification target, the format record
// and the source frames are borrowed: they must outlive the player, which joins its feeder
// thread before it is destroyed.
// Threads: construction, Start, Stop, OnBufferDone and destruction on the notification
// target's thread (the owner's); FeedStep and the progress callback on the feeder thread. The
// feeder runs at a higher priority than the owner's thread where the system allows a thread to
// raise its priority (it needs CAP_SYS_NICE or a raised RLIMIT_NICE), otherwise at the same
// priority. No message box is shown while the player holds a lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/WaveOut.h"
#include "playback/RingCursor.h"
#include "playback/WaveOutDevice.h"

// Progress: frames fed so far, frames in total. Called on the feeder thread; must not wait for
// the owner's thread, which may be waiting for the feeder.
using PLAYPROGRESSPROC = void (*)(std::uint32_t fedFrames, std::uint32_t totalFrames);

class CWavePlayer {
  public:
    // pFrames holds totalFrames frames of 4 bytes; the format record must describe 4-byte frames.
    CWavePlayer(platform::IWaveNotifyTarget* hWndNotify, std::uint32_t deviceId,
                const platform::WAVEFORMATEX* pFormat, const std::uint8_t* pFrames,
                std::uint32_t totalFrames, std::int32_t bufferBytes, std::int32_t bufferCount,
                std::uint32_t tailWaitMs, std::uint32_t pollMs, PLAYPROGRESSPROC pfnProgress);
    // Stops the player if it still runs and waits for its feeder thread.
    virtual ~CWavePlayer();
    CWavePlayer(const CWavePlayer&) = delete;
    CWavePlayer& operator=(const CWavePlayer&) = delete;

    // How late a feeder may wake, beyond its poll interval, without the device overtaking it.
    static constexpr std::uint32_t kLateWakeMs = 50;

    // (tail wait + poll interval) worth of frames at the given rate: the lead for a device that
    // takes little at once.
    static std::int32_t LeadFrames(std::uint32_t samplesPerSec, std::uint32_t tailWaitMs,
                                   std::uint32_t pollMs);
    // The lead for a device that takes up to burstFrames at once.
    static std::int32_t LeadFramesForBurst(std::uint32_t samplesPerSec, std::uint32_t burstFrames,
                                           std::uint32_t tailWaitMs, std::uint32_t pollMs);
    // The number of buffers of framesPerBuffer frames that holds leadFrames and half as much
    // again; never fewer than minimumCount.
    static std::int32_t BufferCountForLead(std::int32_t leadFrames, std::int32_t framesPerBuffer,
                                           std::int32_t minimumCount);
    // The same for a device that takes little at once: what the owner asks for at construction.
    // A device that takes more at once gets a larger ring when the player starts.
    static std::int32_t BufferCountFor(std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                                       std::int32_t bufferBytes, std::int32_t minimumCount,
                                       std::uint32_t tailWaitMs, std::uint32_t pollMs);

    // Opens the device, sizes the lead and the ring to its burst, primes and starts it with the
    // first lead of frames in place, then starts the feeder. A failure has been shown (by the
    // device, or here when the feeder thread cannot be started); the player then does not run
    // and its device is closed, or left open and paused after a failed prime until Stop.
    void Start();
    // Stops the device at once (reset and close) and waits for the feeder thread to end. Gives
    // the result of the close. Once the device has taken the whole source and the tail wait has
    // passed, the feeder plays the device out and closes it itself, and Stop only waits for that
    // (and gives true).
    bool Stop();
    // Sends a finished buffer back to the device while the player runs.
    void OnBufferDone(platform::WAVEHDR* pHeader);
    // One feeder step: true while there is more to feed.
    bool FeedStep();

    bool IsRunning() const { return m_running.load(); }
    // The lead and the ring of the run that Start began.
    std::int32_t LeadFramesInUse() const { return m_leadFrames; }
    std::int32_t BufferCount() const { return m_bufferCount; }
    // The open device, to tell this player's notifications from those of an earlier device.
    platform::HWAVEOUT DeviceHandle() const { return m_pDevice->Handle(); }

  private:
    void BeginFeeder();
    static void FeederProc(CWavePlayer* pPlayer);
    // Clears the running flag, wakes the feeder from its waits, resets and closes the device.
    // After the end of the feed the device first plays out what it holds.
    bool StopDevice(bool playOut);
    // Waits milliseconds, or less if the player is stopped meanwhile.
    void Wait(std::uint32_t milliseconds);
    // Fills the ring from the write cursor up to the lead ahead of position: source frames while
    // there are any, then silence.
    void FillAhead(std::uint32_t position);
    // After the last frame has been written: keeps writing silence ahead until the device has
    // taken the last frame and the tail wait has passed, or the device stops taking frames.
    void WaitForTail();
    // Whether the device has taken no frame for kDeadDeviceTimeout while it was fed: a sound
    // server that died takes none again. position is the device's position now.
    bool DeviceHasGone(std::uint32_t position);
    // Gives the ring bufferCount buffers and cursors to match; false when its memory cannot be
    // had (the pool has said so).
    bool ResizeRing(std::int32_t bufferCount);

    platform::IWaveNotifyTarget* m_hWndNotify;
    std::unique_ptr<CWaveOutDevice> m_pDevice;
    std::unique_ptr<CRingCursor> m_pWriteCursor;
    std::unique_ptr<CRingCursor> m_pTargetCursor;
    std::unique_ptr<CRingCursor> m_pFillCursor;
    const platform::WAVEFORMATEX* m_pFormat;
    const std::uint8_t* m_pFrames;
    std::uint32_t m_totalFrames;
    std::int32_t m_bufferBytes;
    std::int32_t m_bufferCount;
    std::uint32_t m_pollMs;
    std::int32_t m_leadFrames;
    std::uint32_t m_fedFrames = 0;
    // The feeder's: the device's position when it last moved, and when that was.
    std::uint32_t m_lastPosition = 0;
    std::chrono::steady_clock::time_point m_lastMove;
    std::atomic<bool> m_running{false};
    // Set by the feeder once the tail wait after the last frame has passed.
    std::atomic<bool> m_feedEnded{false};
    std::uint32_t m_tailWaitMs;
    PLAYPROGRESSPROC m_pfnProgress;

    // Keeps a requeue from overlapping a reset, and the owner's stop from overlapping the
    // feeder's.
    std::mutex m_deviceMutex;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::thread m_feeder;
};
