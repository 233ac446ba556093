// CWaveOutDevice: one wave output device and the ring of buffers that keeps cycling on it.
//
// Prime queues the whole ring, silent, on a paused device; every buffer the device finishes goes
// back to the end of the queue through Requeue with its content untouched, so what is heard is
// whatever WriteFrames has put into a buffer by the time the device reaches it again.
//
// Ownership: owns its buffer pool. The format record is borrowed and must outlive the device;
// so must the notification target given to Open. The device must be closed before it is
// destroyed.
// Threads: QueryFormat, Open, GetBurst, ResizeRing, Prime, Restart and Requeue on the
// notification target's thread; WriteFrames, ClearFrames, GetPosition and GetLatency on the
// player's feeder thread; Reset and Close on whichever thread stops the player. The player keeps
// Requeue, Reset and Close from overlapping. Operations that fail show their own message and return
// false.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/WaveOut.h"
#include "playback/WaveBufferPool.h"

class CWaveOutDevice {
  public:
    CWaveOutDevice(std::uint32_t deviceId, const platform::WAVEFORMATEX* pFormat,
                   std::int32_t bufferBytes, std::int32_t bufferCount);
    virtual ~CWaveOutDevice() = default;
    CWaveOutDevice(const CWaveOutDevice&) = delete;
    CWaveOutDevice& operator=(const CWaveOutDevice&) = delete;

    void SetDeviceId(std::uint32_t deviceId) { m_deviceId = deviceId; }
    void SetFormat(const platform::WAVEFORMATEX* pFormat) { m_pFormat = pFormat; }

    bool QueryFormat();
    bool Open(platform::IWaveNotifyTarget* pTarget);
    bool Prime();
    void Restart();
    bool Requeue(platform::WAVEHDR* pHeader);
    void Reset();
    // Lets the device play out what it has taken, then stops it; Reset still follows.
    void Drain();
    bool Close();
    // Copies frameCount frames from pSource into the ring from (bufferIndex, frameOffset) on,
    // wrapping from the last buffer to the first.
    void WriteFrames(std::int32_t bufferIndex, std::int32_t frameOffset,
                     const std::uint8_t* pSource, std::int32_t frameCount);
    // Writes frameCount frames of silence the same way.
    void ClearFrames(std::int32_t bufferIndex, std::int32_t frameOffset, std::int32_t frameCount);
    // Frames the device has taken from the ring since it started; 0 while closed.
    std::uint32_t GetPosition() const;
    // The most frames the open device takes at once; 0 while closed.
    std::uint32_t GetBurst() const;
    // Frames between taking and hearing, as the open device last measured them; 0 while closed.
    std::uint32_t GetLatency() const;
    // Replaces the ring by one of bufferCount buffers of the same size, before Prime. False when
    // its memory cannot be had: the pool has said so, and Prime then fails.
    bool ResizeRing(std::int32_t bufferCount);

    // The open device, kNoWaveOut while closed. Notifications carry it.
    platform::HWAVEOUT Handle() const { return m_hWaveOut.load(); }
    std::int32_t FramesPerBuffer() const;
    bool IsRingReady() const { return m_pPool && m_pPool->IsReady(); }

    std::atomic<platform::HWAVEOUT> m_hWaveOut{platform::kNoWaveOut};
    std::uint32_t m_deviceId = platform::WAVE_MAPPER;
    const platform::WAVEFORMATEX* m_pFormat = nullptr;
    std::unique_ptr<CWaveBufferPool> m_pPool;

  private:
    // A count of frames that the open device gives through ask; 0 while closed.
    std::uint32_t AskFrames(platform::MMRESULT (*ask)(platform::HWAVEOUT, std::uint32_t*)) const;
    // Copies (or, with no source, silences) frames into the ring.
    void FillFrames(std::int32_t bufferIndex, std::int32_t frameOffset, const std::uint8_t* pSource,
                    std::int32_t frameCount);
};
