// The queued-buffer wave output: the calls that the output device relies on, with the names and
// results of the platform interface they stand in for.
//
// A device plays buffers that stay in the caller's memory, in the order they were queued; what a
// queued buffer holds when the device reaches it is what is heard. Each buffer played to its end
// (or handed back by a reset) is marked WHDR_DONE and reported once to the notification target
// given at open, which delivers it to its own thread.
//
// The contract with a caller that writes into buffers while they are queued (the streaming
// player): the position is the number of frames the device has taken from the queue since it was
// opened or last reset. It never goes backwards, and it stands still while the queue is dry (the
// device then plays silence). A frame is taken only once the position has come within the burst
// (waveOutGetBurst) of it, so a caller that keeps its writes more than the burst, plus what plays
// between two of its writes, ahead of the position never writes where the device is reading.
// Taken frames are heard a latency (waveOutGetLatency) later.
//
// Backends: the sound server's default sink through its own client library when a PulseAudio
// server (PulseAudio itself, or PipeWire's) answers, PortAudio's default output otherwise (the
// default driver), or an emulated device for tests (EmulatedWaveOut.h), chosen with
// SetWaveOutDriver before a device is opened.
//
// Threads: every call may come from any thread except the notification callback, but the calls
// on one device must not overlap (its owner serialises them). No call blocks on a notification
// target. Notifications are made on a thread of the device's own, never on the audio thread.
#pragma once

#include <cstdint>

#include "platform/WaveFormat.h"

namespace platform {

using MMRESULT = std::uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// The default output device.
constexpr std::uint32_t WAVE_MAPPER = 0xFFFFFFFF;

// Flags of waveOutOpen.
constexpr std::uint32_t WAVE_FORMAT_QUERY = 0x0001;
constexpr std::uint32_t CALLBACK_TARGET = 0x00010000;

// An open device. Handles are never reused within a process, so a notification that outlives its
// device can be told apart from one of a later device.
using HWAVEOUT = std::uint64_t;
constexpr HWAVEOUT kNoWaveOut = 0;

// Where a device reports finished buffers.
class IWaveNotifyTarget {
  public:
    // Hands the finished buffer to the target's thread. Called on a thread of the device's; must
    // not block on the target's thread.
    virtual void PostWaveDone(HWAVEOUT hWaveOut, WAVEHDR* pHeader) = 0;

  protected:
    ~IWaveNotifyTarget() = default;
};

// The play position; only TIME_SAMPLES is supported.
constexpr std::uint32_t TIME_SAMPLES = 0x0002;
struct MMTIME {
    std::uint32_t wType = TIME_SAMPLES;
    std::uint32_t sample = 0;
};

// With WAVE_FORMAT_QUERY only asks whether the device plays the format (phWaveOut and pTarget may
// be null); otherwise opens it, playing (not paused), and reports to pTarget.
MMRESULT waveOutOpen(HWAVEOUT* phWaveOut, std::uint32_t deviceId, const WAVEFORMATEX* pFormat,
                     IWaveNotifyTarget* pTarget, std::uintptr_t instance, std::uint32_t flags);
// Fails with WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveOutClose(HWAVEOUT hWaveOut);
MMRESULT waveOutPrepareHeader(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes);
MMRESULT waveOutWrite(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes);
MMRESULT waveOutPause(HWAVEOUT hWaveOut);
MMRESULT waveOutRestart(HWAVEOUT hWaveOut);
// Stops playback, hands every queued buffer back as done (one notification each) and sets the
// position to 0, all before it returns.
MMRESULT waveOutReset(HWAVEOUT hWaveOut);
// Takes no more frames from the queue, waits until the frames already taken have been heard (what
// the sound server still holds included), then stops playback; the queue stays as it is for
// waveOutReset.
MMRESULT waveOutDrain(HWAVEOUT hWaveOut);
MMRESULT waveOutGetPosition(HWAVEOUT hWaveOut, MMTIME* pTime, std::uint32_t timeBytes);
// Makes what the caller has written into queued buffers so far visible to the device's audio
// thread. A thread that fills queued buffers while they play calls it after each fill: the lead
// keeps it apart from the device in time, and this call orders it in memory too.
MMRESULT waveOutBuffersWritten(HWAVEOUT hWaveOut);
// The frames between the queue and the listener, as the backend last measured them.
MMRESULT waveOutGetLatency(HWAVEOUT hWaveOut, std::uint32_t* pFrames);
// The most frames the device may take from the queue at once: what its backend holds ahead of
// the listener, and one period more. Known once the device is open.
MMRESULT waveOutGetBurst(HWAVEOUT hWaveOut, std::uint32_t* pFrames);

// Readies the sound system (connecting to the sound server, or probing PortAudio's devices, takes
// tens of milliseconds), so that the first preview starts as quickly as later ones. Blocks; call it
// where the delay does not show.
void waveOutPrepare();

class IWaveOutDriver;
// Chooses the backend for devices opened from now on; null restores the default. The driver must
// outlive every device opened through it.
void SetWaveOutDriver(IWaveOutDriver* pDriver);

}  // namespace platform
