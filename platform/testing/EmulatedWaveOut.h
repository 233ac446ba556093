// EmulatedWaveOut: a wave output device for tests, with no sound hardware.
//
// It plays on a clock that the test drives (Advance) or that runs in real time on a thread of
// its own, with an optional output latency and scheduling jitter. A real-time device takes its
// frames the way the wave output's contract allows at worst: a whole period at the moment the
// period begins, its latency ahead of the listener, and after a late wake-up all it missed at
// once. It records every frame that it
// takes from the queued buffers, counts the silent frames it plays while the queue is dry or the
// device paused, and can be told to fail a query, an open, the k-th prepare or queue call, or a
// close.
//
// Only tests link it (the sonorette_platform_testing library), never the program.
// Ownership: install with platform::SetWaveOutDriver; the driver must outlive every device
// opened through it. Threads: all members may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/WaveOutDriver.h"

namespace platform {

class EmulatedWaveOut final : public IWaveOutDriver {
  public:
    struct Options {
        // Real time: a thread of the device's takes periodFrames at a time from the queue, each
        // period as it begins, as a sound card does. Otherwise nothing plays until the test
        // calls Advance.
        bool realTime = false;
        std::uint32_t periodFrames = 256;
        // Frames taken before they are heard, beyond the period a real-time device takes ahead.
        std::uint32_t latencyFrames = 0;
        // Each real-time period starts up to this late, and then catches up, as a device does.
        std::uint32_t jitterMicroseconds = 0;
        std::uint32_t seed = 1;
    };

    explicit EmulatedWaveOut(const Options& options);
    ~EmulatedWaveOut() override;
    EmulatedWaveOut(const EmulatedWaveOut&) = delete;
    EmulatedWaveOut& operator=(const EmulatedWaveOut&) = delete;

    MMRESULT Query(std::uint32_t deviceId, const WAVEFORMATEX& format) override;
    MMRESULT Open(std::uint32_t deviceId, const WAVEFORMATEX& format, IRenderSource* pSource,
                  std::unique_ptr<IBackendStream>* pStream) override;

    // Plays frameCount frames on every running device, on the calling thread.
    void Advance(std::uint32_t frameCount);

    // Failures to inject: the next query, open or close fails; the prepare or queue call
    // `callsFromNow` calls from now (0 = the next one) fails (FaultInjection.h).
    void FailNextQuery();
    void FailNextOpen();
    void FailNextClose();
    void FailPrepare(int callsFromNow);
    void FailWrite(int callsFromNow);

    // The bytes of every frame taken from queued buffers, in the order played.
    std::vector<std::uint8_t> Recording() const;
    void ClearRecording();
    // Silent frames played while a device ran with a dry queue or paused.
    std::uint64_t SilentFrames() const;
    int OpenDevices() const;
    int OpensSoFar() const;

  private:
    class Stream;
    friend class Stream;

    void RealTimeLoop();
    // Plays on every running device; m_mutex is held.
    void RenderLocked(std::uint32_t frameCount);

    const Options m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Stream*> m_streams;
    std::vector<std::uint8_t> m_recording;
    std::vector<std::uint8_t> m_scratch;
    std::uint64_t m_silentFrames = 0;
    int m_opensSoFar = 0;
    bool m_failQuery = false;
    bool m_failOpen = false;
    bool m_failClose = false;
    std::mt19937 m_random;
    bool m_quit = false;
    std::thread m_clock;
};

}  // namespace platform
