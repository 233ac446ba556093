// The wave output on PortAudio's default output device (through ALSA, and so the desktop's sound
// server where there is one).
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_linux_alsa.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/WaveOutDriver.h"

namespace platform {
namespace {

// The stream's buffer. PipeWire's ALSA plugin takes a whole quantum of the graph from it at once,
// so the buffer must hold more than the largest quantum the graph may run at: 4096 frames when a
// user or a program forces it, 93 ms at 44,100 Hz, and a period more. The buffer is also the
// silence that PortAudio's ALSA stream plays before the first frame, so it is no larger than
// that. The player keeps its lead ahead of what the stream has taken, whatever its size.
constexpr double kSuggestedLatencySeconds = 0.120;

// The callback's period: a power of two near 10 ms. PipeWire runs its graph in power-of-two
// quanta; a client whose period is not one is called in uneven pairs (441 + 71 frames against a
// 512-frame quantum) and takes its frames in irregular bursts.
unsigned long PeriodFramesFor(std::uint32_t samplesPerSec) {
    unsigned long frames = 64;
    while (frames * 2 <= samplesPerSec / 100) {
        frames *= 2;
    }
    return frames;
}

// ALSA reports every card it probes and cannot open on standard error; the program reports its
// own failures in its own words instead.
void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// The JACK client library, probed by PortAudio, reports on standard error that no JACK server
// runs, which is the usual case on a desktop.
void IgnoreJackMessage(const char*) {}

// PortAudio is initialised once, on first use, and stays so for the life of the process: probing
// the devices again at every preview would delay its start.
bool EnsurePortAudio() {
    static std::once_flag s_once;
    static bool s_initialised = false;
    std::call_once(s_once, [] {
        snd_lib_error_set_handler(IgnoreAlsaError);
        jack_set_error_function(IgnoreJackMessage);
        jack_set_info_function(IgnoreJackMessage);
        s_initialised = Pa_Initialize() == paNoError;
    });
    return s_initialised;
}

bool MakeParameters(std::uint32_t deviceId, const WAVEFORMATEX& format,
                    PaStreamParameters* pParameters) {
    if (format.wFormatTag != 1 || format.nChannels == 0 ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        return false;
    }
    PaSampleFormat sampleFormat = 0;
    if (format.wBitsPerSample == 16) {
        sampleFormat = paInt16;
    } else if (format.wBitsPerSample == 8) {
        sampleFormat = paUInt8;
    } else {
        return false;
    }
    PaDeviceIndex device = paNoDevice;
    if (deviceId == WAVE_MAPPER) {
        device = Pa_GetDefaultOutputDevice();
    } else if (deviceId < static_cast<std::uint32_t>(Pa_GetDeviceCount())) {
        device = static_cast<PaDeviceIndex>(deviceId);
    }
    if (device == paNoDevice) {
        return false;
    }
    pParameters->device = device;
    pParameters->channelCount = format.nChannels;
    pParameters->sampleFormat = sampleFormat;
    pParameters->suggestedLatency = kSuggestedLatencySeconds;
    pParameters->hostApiSpecificStreamInfo = nullptr;
    return true;
}

class PortAudioStream final : public IBackendStream {
  public:
    PortAudioStream(IRenderSource* pSource, std::uint32_t samplesPerSec)
        : m_pSource(pSource),
          m_samplesPerSec(samplesPerSec),
          m_periodFrames(PeriodFramesFor(samplesPerSec)),
          m_latencyFrames(static_cast<std::uint32_t>(kSuggestedLatencySeconds * samplesPerSec)) {}

    // Set once the stream is open; the callback runs only after Start. The host's buffer is what
    // it fills at once when it starts.
    void SetStream(PaStream* pStream) {
        m_pStream = pStream;
        const PaStreamInfo* pInfo = Pa_GetStreamInfo(pStream);
        const double bufferSeconds = pInfo != nullptr
                                         ? std::max(pInfo->outputLatency, kSuggestedLatencySeconds)
                                         : kSuggestedLatencySeconds;
        m_bufferFrames = static_cast<std::uint32_t>(bufferSeconds * m_samplesPerSec);
    }

    unsigned long PeriodFrames() const { return m_periodFrames; }

    static int Callback(const void*, void* pOutput, unsigned long frameCount,
                        const PaStreamCallbackTimeInfo* pTimeInfo, PaStreamCallbackFlags,
                        void* pUserData) {
        auto* pSelf = static_cast<PortAudioStream*>(pUserData);
        // The host's own measure of how long these frames take to be heard: the stream's buffer
        // and, behind it, the sound server's. Until the first callback the latency asked for
        // stands in for it.
        if (pTimeInfo != nullptr && pTimeInfo->outputBufferDacTime > pTimeInfo->currentTime) {
            const double delaySeconds = pTimeInfo->outputBufferDacTime - pTimeInfo->currentTime;
            pSelf->m_latencyFrames.store(
                static_cast<std::uint32_t>(delaySeconds * pSelf->m_samplesPerSec),
                std::memory_order_relaxed);
        }
        pSelf->m_pSource->Render(static_cast<std::uint8_t*>(pOutput),
                                 static_cast<std::uint32_t>(frameCount));
        return paContinue;
    }

    bool Start() override { return Pa_StartStream(m_pStream) == paNoError; }
    // Aborting drops what the host still holds, so a reset silences the device at once.
    void Stop() override { Pa_AbortStream(m_pStream); }
    // Stopping (rather than aborting) lets ALSA, and the sound server behind it, play out what
    // they hold: their latency is more than PortAudio can see.
    void Drain() override { Pa_StopStream(m_pStream); }
    std::uint32_t LatencyFrames() const override {
        return m_latencyFrames.load(std::memory_order_relaxed);
    }
    std::uint32_t BurstFrames() const override {
        return m_bufferFrames + static_cast<std::uint32_t>(m_periodFrames);
    }
    bool Close() override { return Pa_CloseStream(m_pStream) == paNoError; }

  private:
    PaStream* m_pStream = nullptr;
    IRenderSource* m_pSource;
    std::uint32_t m_samplesPerSec;
    unsigned long m_periodFrames;
    std::uint32_t m_bufferFrames = 0;
    std::atomic<std::uint32_t> m_latencyFrames;
};

class PortAudioWaveOutDriver final : public IWaveOutDriver {
  public:
    void Prepare() override { EnsurePortAudio(); }

    MMRESULT Query(std::uint32_t deviceId, const WAVEFORMATEX& format) override {
        if (!EnsurePortAudio()) {
            return MMSYSERR_NODRIVER;
        }
        PaStreamParameters parameters{};
        if (!MakeParameters(deviceId, format, &parameters)) {
            return WAVERR_BADFORMAT;
        }
        // Asked of the device list that PortAudio made at its start, not of the device itself:
        // asking the device opens it, which through a sound server costs a connection (90 ms on
        // PipeWire) before every preview. The open that follows says whether the rate is taken.
        const PaDeviceInfo* pDevice = Pa_GetDeviceInfo(parameters.device);
        return pDevice != nullptr && pDevice->maxOutputChannels >= parameters.channelCount
                   ? MMSYSERR_NOERROR
                   : WAVERR_BADFORMAT;
    }

    MMRESULT Open(std::uint32_t deviceId, const WAVEFORMATEX& format, IRenderSource* pSource,
                  std::unique_ptr<IBackendStream>* pStream) override {
        if (!EnsurePortAudio()) {
            return MMSYSERR_NODRIVER;
        }
        PaStreamParameters parameters{};
        if (!MakeParameters(deviceId, format, &parameters)) {
            return WAVERR_BADFORMAT;
        }
        auto pPortAudioStream = std::make_unique<PortAudioStream>(pSource, format.nSamplesPerSec);
        PaStream* pPaStream = nullptr;
        if (Pa_OpenStream(&pPaStream, nullptr, &parameters, format.nSamplesPerSec,
                          pPortAudioStream->PeriodFrames(), paPrimeOutputBuffersUsingStreamCallback,
                          &PortAudioStream::Callback, pPortAudioStream.get()) != paNoError) {
            return MMSYSERR_ERROR;
        }
        pPortAudioStream->SetStream(pPaStream);
        // ALSA's callback thread asks for real-time scheduling where the system grants it (root,
        // or a raised RLIMIT_RTPRIO); elsewhere it runs as an ordinary thread.
        const PaDeviceInfo* pDevice = Pa_GetDeviceInfo(parameters.device);
        const PaHostApiInfo* pHostApi =
            pDevice != nullptr ? Pa_GetHostApiInfo(pDevice->hostApi) : nullptr;
        if (pHostApi != nullptr && pHostApi->type == paALSA) {
            PaAlsa_EnableRealtimeScheduling(pPaStream, 1);
        }
        *pStream = std::move(pPortAudioStream);
        return MMSYSERR_NOERROR;
    }
};

}  // namespace

IWaveOutDriver& PortAudioDriver() {
    static PortAudioWaveOutDriver s_driver;
    return s_driver;
}

}  // namespace platform
