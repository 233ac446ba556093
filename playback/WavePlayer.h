// CWavePlayer: streams a block of 16-bit stereo frames held in memory through the wave output
// device. The device keeps a ring of buffers cycling; a feeder thread wakes every poll interval,
// reads the play position and copies the next source frames into the ring up to a lead ahead of
// it, reporting progress after every step. When the last frame has been fed it waits the tail
// wait (long enough for the device to play it), then stops and closes the device itself.
//
// Ownership: owns its device and both ring cursors. The notification target, the format record
// and the source frames are borrowed: they must outlive the player, which joins its feeder
// thread before it is destroyed.
// Threads: construction, Start, Stop, OnBufferDone and destruction on the notification
// target's thread (the owner's); FeedStep and the progress callback on the feeder thread. The
// feeder runs at a higher priority than the owner's thread where the system allows a thread to
// raise its priority (it needs CAP_SYS_NICE or a raised RLIMIT_NICE), otherwise at the same
// priority; the lead of 110 ms leaves it ample time either way.
#pragma once

#include <atomic>
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

    // The frames that the feeder keeps ahead of the play position: (tail wait + poll interval)
    // worth at the given rate.
    static std::int32_t LeadFrames(std::uint32_t samplesPerSec, std::uint32_t tailWaitMs,
                                   std::uint32_t pollMs);
    // The number of bufferBytes buffers a ring needs to hold the lead and half as much again;
    // never fewer than minimumCount.
    static std::int32_t BufferCountFor(std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                                       std::int32_t bufferBytes, std::int32_t minimumCount,
                                       std::uint32_t tailWaitMs, std::uint32_t pollMs);

    // Opens, primes and starts the device with the first lead of frames in place, then starts
    // the feeder. A failure has been shown by the device; the player then does not run.
    void Start();
    // Stops the device at once (reset and close) and waits for the feeder thread to end. Gives
    // the result of the close. Once the whole source has been fed and its tail waited for, the
    // feeder plays the device out and closes it itself, and Stop only waits for that (and gives
    // true).
    bool Stop();
    // Sends a finished buffer back to the device while the player runs.
    void OnBufferDone(platform::WAVEHDR* pHeader);
    // One feeder step: true while there is more to feed.
    bool FeedStep();

    bool IsRunning() const { return m_running.load(); }
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
    // After the last frame the ring still holds frames of an earlier turn: silence everything
    // from the end of the source up to the play position.
    void SilenceAfterEnd(std::uint32_t endFrame, std::uint32_t position);

    platform::IWaveNotifyTarget* m_hWndNotify;
    std::unique_ptr<CWaveOutDevice> m_pDevice;
    std::unique_ptr<CRingCursor> m_pWriteCursor;
    std::unique_ptr<CRingCursor> m_pTargetCursor;
    std::unique_ptr<CRingCursor> m_pEndCursor;
    const std::uint8_t* m_pFrames;
    std::uint32_t m_totalFrames;
    std::int32_t m_bufferBytes;
    std::int32_t m_bufferCount;
    std::uint32_t m_pollMs;
    std::int32_t m_leadFrames;
    std::uint32_t m_fedFrames = 0;
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
