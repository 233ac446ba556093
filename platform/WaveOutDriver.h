// The backend side of the wave output: what a sound backend provides to the device queue of
// WaveOut.cpp. A backend pulls frames from the queue on its own audio thread; everything else
// (queueing, flags, notifications, the position) is the queue's.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/WaveOut.h"

namespace platform {

// The device queue as the audio thread sees it.
class IRenderSource {
  public:
    // Fills frameCount frames at pOut: first the frames taken from the queued buffers, then
    // silence (the queue ran dry, or the device is paused). Gives the number taken from the
    // queue. Runs on the audio thread: never blocks, allocates or throws.
    virtual std::uint32_t Render(std::uint8_t* pOut, std::uint32_t frameCount) = 0;

  protected:
    ~IRenderSource() = default;
};

// One open backend stream. Calls come from the device's control thread, one at a time.
class IBackendStream {
  public:
    virtual ~IBackendStream() = default;
    // Starts calling Render; false when the backend cannot start.
    virtual bool Start() = 0;
    // Returns once Render has returned for the last time; no call comes until the next Start.
    // What the backend still holds is dropped.
    virtual void Stop() = 0;
    // As Stop, but returns only once what the backend holds has been heard.
    virtual void Drain() { Stop(); }
    // Frames between the queue and the listener: how long a frame taken now takes to be heard.
    virtual std::uint32_t LatencyFrames() const = 0;
    // The most frames Render may be asked for in a short time: the backend's buffer, which it
    // fills at its start and after a late wake-up, and one period more.
    virtual std::uint32_t BurstFrames() const = 0;
    // Releases the stream (stopped before); false when the backend reports a failure.
    virtual bool Close() = 0;
};

class IWaveOutDriver {
  public:
    virtual ~IWaveOutDriver() = default;
    // Does ahead of time whatever makes the first open slow.
    virtual void Prepare() {}
    virtual MMRESULT Query(std::uint32_t deviceId, const WAVEFORMATEX& format) = 0;
    // Opens a stream that renders from pSource; pSource outlives the stream.
    virtual MMRESULT Open(std::uint32_t deviceId, const WAVEFORMATEX& format,
                          IRenderSource* pSource, std::unique_ptr<IBackendStream>* pStream) = 0;
};

// The PortAudio backend.
IWaveOutDriver& PortAudioDriver();
// The default: the sound server's own client library when a server answers, PortAudio otherwise
// and for every device but the default one.
IWaveOutDriver& DefaultDriver();

}  // namespace platform
