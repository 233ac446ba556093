// The wave output on PortAudio's default output device (through ALSA, and so the desktop's sound
// server where there is one).
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/WaveOutDriver.h"

namespace platform {
namespace {

// The stream's buffer. PipeWire's ALSA plugin takes a whole quantum of the graph from it at once,
// so the buffer must hold more than the largest quantum the graph may run at: 4096 frames when a
// user or a program forces it, 93 ms at 44,100 Hz, and a period more. The player keeps its lead
// ahead of what the stream has taken, whatever its size.
constexpr double kSuggestedLatencySeconds = 0.120;

// The longest a drain waits for a device that has stopped taking frames.
constexpr auto kDrainTimeout = std::chrono::seconds(1);

// The stream's period: a power of two near 10 ms. PipeWire runs its graph in power-of-two
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

// One stream, written in PortAudio's blocking mode from a writer thread of the stream's own,
// which is its audio thread. Written rather than called back: PortAudio's ALSA host starts a
// callback stream by playing its whole buffer of silence (a callback cannot prime the buffer of
// a plugin device such as PipeWire's or PulseAudio's), and the first frame is then heard that
// buffer late. A written stream starts with the first frames themselves in its buffer.
class PortAudioStream final : public IBackendStream {
  public:
    PortAudioStream(IRenderSource* pSource, const WAVEFORMATEX& format)
        : m_pSource(pSource),
          m_samplesPerSec(format.nSamplesPerSec),
          m_blockAlign(format.nBlockAlign),
          m_periodFrames(PeriodFramesFor(format.nSamplesPerSec)),
          m_latencyFrames(
              static_cast<std::uint32_t>(kSuggestedLatencySeconds * format.nSamplesPerSec)) {}

    ~PortAudioStream() override { JoinWriter(); }

    // Set once the stream is open, before it starts: sizes the host's buffer, which is what the
    // writer fills at once when it starts, and the block that it renders into.
    void SetStream(PaStream* pStream) {
        m_pStream = pStream;
        const PaStreamInfo* pInfo = Pa_GetStreamInfo(pStream);
        const double bufferSeconds = pInfo != nullptr
                                         ? std::max(pInfo->outputLatency, kSuggestedLatencySeconds)
                                         : kSuggestedLatencySeconds;
        m_bufferFrames = static_cast<std::uint32_t>(bufferSeconds * m_samplesPerSec);
        m_block.assign(std::size_t{BurstFrames()} * m_blockAlign, 0);
    }

    unsigned long PeriodFrames() const { return m_periodFrames; }

    bool Start() override {
        if (Pa_StartStream(m_pStream) != paNoError) {
            return false;
        }
        m_takenFrames.store(0, std::memory_order_relaxed);
        m_writing.store(true);
        try {
            m_writer = std::thread([this] { WriterLoop(); });
        } catch (const std::system_error&) {
            m_writing.store(false);
            Pa_AbortStream(m_pStream);
            return false;
        }
        return true;
    }
    // Aborting drops what the host still holds, so a reset silences the device at once.
    void Stop() override {
        JoinWriter();
        Pa_AbortStream(m_pStream);
    }
    // PortAudio's ALSA host drops what the device holds even when the stream is stopped rather
    // than aborted, and PipeWire's ALSA plugin counts a quantum as taken once it has copied it
    // out of the buffer, while the graph has yet to play it: stopped as soon as the last frame
    // has left the buffer, the stream loses that last quantum. The writer goes on writing
    // silence until the device has taken another buffer's worth, which is more than the
    // largest quantum the graph runs at, so the last frame has been played by then. A device
    // that stops taking frames holds the drain up for a second at most.
    void Drain() override {
        const std::uint64_t drainedAt =
            m_takenFrames.load(std::memory_order_relaxed) + m_bufferFrames;
        const auto pause = std::chrono::microseconds(std::uint64_t{m_periodFrames} * 1000000 /
                                                     (2 * std::uint64_t{m_samplesPerSec}));
        const auto deadline = std::chrono::steady_clock::now() + kDrainTimeout;
        while (m_writing.load() && m_takenFrames.load(std::memory_order_relaxed) < drainedAt &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(pause);
        }
        JoinWriter();
        Pa_StopStream(m_pStream);
    }
    std::uint32_t LatencyFrames() const override {
        return m_latencyFrames.load(std::memory_order_relaxed);
    }
    std::uint32_t BurstFrames() const override {
        return m_bufferFrames + static_cast<std::uint32_t>(m_periodFrames);
    }
    bool Close() override { return Pa_CloseStream(m_pStream) == paNoError; }

  private:
    void JoinWriter() {
        m_writing.store(false);
        if (m_writer.joinable()) {
            m_writer.join();
        }
    }

    // Renders and writes whatever room the host's buffer has, then sleeps half a period. The
    // writes never wait for room, so a stop is never held up by a device that has stopped
    // taking frames.
    void WriterLoop() {
        // Real-time scheduling where the system grants it (root, or a raised RLIMIT_RTPRIO);
        // elsewhere an ordinary thread.
        sched_param parameter{};
        parameter.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
        static_cast<void>(pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter));
        const auto pause = std::chrono::microseconds(std::uint64_t{m_periodFrames} * 1000000 /
                                                     (2 * std::uint64_t{m_samplesPerSec}));
        const auto blockFrames = static_cast<std::uint32_t>(m_block.size() / m_blockAlign);
        std::uint32_t hostBufferFrames = 0;
        std::uint64_t writtenFrames = 0;
        while (m_writing.load()) {
            const long room = Pa_GetStreamWriteAvailable(m_pStream);
            if (room < 0) {
                std::this_thread::sleep_for(pause);
                continue;
            }
            // The room of the empty buffer, at the start, is its size.
            hostBufferFrames = std::max(hostBufferFrames, static_cast<std::uint32_t>(room));
            const auto frameCount = std::min(static_cast<std::uint32_t>(room), blockFrames);
            if (frameCount >= m_periodFrames) {
                m_pSource->Render(m_block.data(), frameCount);
                // An underflow reported here has been recovered from; the frames are written.
                const PaError written = Pa_WriteStream(m_pStream, m_block.data(), frameCount);
                if (written != paNoError && written != paOutputUnderflowed) {
                    // A host that fails its writes while it says there is room must not turn
                    // this loop into one that spins through the whole queue.
                    std::this_thread::sleep_for(pause);
                    continue;
                }
                writtenFrames += frameCount;
                const long roomAfter = Pa_GetStreamWriteAvailable(m_pStream);
                if (roomAfter >= 0) {
                    const std::uint32_t heldFrames =
                        hostBufferFrames -
                        std::min(hostBufferFrames, static_cast<std::uint32_t>(roomAfter));
                    m_latencyFrames.store(heldFrames, std::memory_order_relaxed);
                    m_takenFrames.store(writtenFrames - heldFrames, std::memory_order_relaxed);
                }
                continue;
            }
            std::this_thread::sleep_for(pause);
        }
    }

    PaStream* m_pStream = nullptr;
    IRenderSource* m_pSource;
    std::uint32_t m_samplesPerSec;
    std::uint32_t m_blockAlign;
    unsigned long m_periodFrames;
    std::uint32_t m_bufferFrames = 0;
    // The writer's own while it runs.
    std::vector<std::uint8_t> m_block;
    std::atomic<bool> m_writing{false};
    std::atomic<std::uint32_t> m_latencyFrames;
    // Frames that the device has taken out of its buffer since the start; written by the writer.
    std::atomic<std::uint64_t> m_takenFrames{0};
    std::thread m_writer;
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
        auto pPortAudioStream = std::make_unique<PortAudioStream>(pSource, format);
        PaStream* pPaStream = nullptr;
        if (Pa_OpenStream(&pPaStream, nullptr, &parameters, format.nSamplesPerSec,
                          pPortAudioStream->PeriodFrames(), paNoFlag, nullptr,
                          nullptr) != paNoError) {
            return MMSYSERR_ERROR;
        }
        pPortAudioStream->SetStream(pPaStream);
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
