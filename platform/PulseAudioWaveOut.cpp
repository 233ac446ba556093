// The wave output on the sound server's own client library (libpulse), which both PulseAudio and
// PipeWire's PulseAudio server (pipewire-pulse) serve. Through it the stream's buffer is the
// server's, sized by this program: the stream is made corked at the open, the first frames are
// written into it at the start, and only then is it uncorked, so the first frame is heard one
// server latency after the start, with no silence of the backend's own before it.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/WaveOutDriver.h"

namespace platform {
namespace {

// What the server holds ahead of the listener once the stream runs, and how much it asks for at a
// time. 100 ms rides out the connection's thread waking late on a busy machine (with 40 ms, one
// preview in twenty ran dry while another program kept both cores busy); the start does not wait
// for it, since the stream is filled before it runs. 10 ms keeps the steps small. A server that
// runs in larger quanta raises both, and the stream reports what it really got.
constexpr pa_usec_t kTargetLengthUsec = 100000;
constexpr pa_usec_t kRequestUsec = 10000;
// How long the connection to the server may take before the program plays through PortAudio.
constexpr auto kConnectTimeout = std::chrono::seconds(2);

bool StateIsFinal(pa_context_state_t state) {
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

// How long a request to the server (a stream made, a drain) may take before it is given up: a
// server that has hung must not hang the window with it.
constexpr auto kRequestTimeout = std::chrono::seconds(2);

// Waits, with the loop's lock held, until done() is true or timeout has passed; false on timeout.
// Polled rather than waited for on the loop's signal, so that the wait has a bound of its own.
template <typename Done>
bool WaitLocked(pa_threaded_mainloop* pLoop, std::chrono::steady_clock::duration timeout,
                const Done& done) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pa_threaded_mainloop_unlock(pLoop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(pLoop);
    }
    return true;
}

// The connection to the server and the thread that serves it, kept for the life of the process.
// A connection that streams still use is never torn down under them: once it has failed, new
// streams go to PortAudio until the last of them has gone.
// Threads: any; the streams made on it use its loop and context until they release it.
class Connection {
  public:
    struct Handles {
        pa_threaded_mainloop* pLoop;
        pa_context* pContext;
    };

    ~Connection() { Disconnect(); }

    // True once connected; connects when there is no connection yet, or it was lost.
    bool Ensure() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return EnsureLocked();
    }

    // The loop and context for a new stream, which must call ReleaseStream when it goes; nothing
    // when there is no connection.
    std::optional<Handles> AcquireStream() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!EnsureLocked()) {
            return std::nullopt;
        }
        ++m_streamCount;
        return Handles{m_pLoop, m_pContext};
    }

    void ReleaseStream() {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_streamCount;
    }

  private:
    bool EnsureLocked() {
        if (m_pContext != nullptr) {
            pa_threaded_mainloop_lock(m_pLoop);
            const bool ready = pa_context_get_state(m_pContext) == PA_CONTEXT_READY;
            pa_threaded_mainloop_unlock(m_pLoop);
            if (ready) {
                return true;
            }
            if (m_streamCount > 0) {
                return false;
            }
            Disconnect();
        }
        return Connect();
    }

    bool Connect() {
        m_pLoop = pa_threaded_mainloop_new();
        if (m_pLoop == nullptr) {
            return false;
        }
        m_pContext = pa_context_new(pa_threaded_mainloop_get_api(m_pLoop), "Sonorette");
        // Without a server already running the program plays through PortAudio; it does not
        // start one of its own.
        if (m_pContext == nullptr ||
            pa_context_connect(m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(m_pLoop) < 0) {
            Disconnect();
            return false;
        }
        pa_threaded_mainloop_lock(m_pLoop);
        const bool ready =
            WaitLocked(m_pLoop, kConnectTimeout,
                       [this] { return StateIsFinal(pa_context_get_state(m_pContext)); }) &&
            pa_context_get_state(m_pContext) == PA_CONTEXT_READY;
        pa_threaded_mainloop_unlock(m_pLoop);
        if (!ready) {
            Disconnect();
        }
        return ready;
    }

    void Disconnect() {
        if (m_pLoop != nullptr) {
            pa_threaded_mainloop_stop(m_pLoop);
        }
        if (m_pContext != nullptr) {
            pa_context_disconnect(m_pContext);
            pa_context_unref(m_pContext);
            m_pContext = nullptr;
        }
        if (m_pLoop != nullptr) {
            pa_threaded_mainloop_free(m_pLoop);
            m_pLoop = nullptr;
        }
    }

    std::mutex m_mutex;
    pa_threaded_mainloop* m_pLoop = nullptr;
    pa_context* m_pContext = nullptr;
    int m_streamCount = 0;
};

bool MakeSampleFormat(const WAVEFORMATEX& format, pa_sample_spec* pSampleFormat) {
    if (format.wFormatTag != 1 || format.nChannels == 0 || format.nChannels > PA_CHANNELS_MAX ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        return false;
    }
    if (format.wBitsPerSample == 16) {
        pSampleFormat->format = PA_SAMPLE_S16LE;
    } else if (format.wBitsPerSample == 8) {
        pSampleFormat->format = PA_SAMPLE_U8;
    } else {
        return false;
    }
    pSampleFormat->rate = format.nSamplesPerSec;
    pSampleFormat->channels = static_cast<std::uint8_t>(format.nChannels);
    return pa_sample_spec_valid(pSampleFormat) != 0;
}

// One playback stream. The connection's thread is the audio thread: it calls Render from the
// stream's write callback, with the connection's lock held; the control calls take that lock
// too, so Render never overlaps them.
// Ownership: holds the connection (AcquireStream) from its making until it goes.
class PulseAudioStream final : public IBackendStream {
  public:
    PulseAudioStream(Connection& connection, const Connection::Handles& handles,
                     IRenderSource* pSource, const WAVEFORMATEX& format)
        : m_connection(connection),
          m_pLoop(handles.pLoop),
          m_pContext(handles.pContext),
          m_pSource(pSource),
          m_blockAlign(format.nBlockAlign),
          m_samplesPerSec(format.nSamplesPerSec) {}

    ~PulseAudioStream() override {
        Release();
        m_connection.ReleaseStream();
    }

    // Makes the stream, corked, and waits until the server has made it; false when it could not.
    bool Open(const pa_sample_spec& sampleFormat) {
        pa_threaded_mainloop* pLoop = m_pLoop;
        pa_threaded_mainloop_lock(pLoop);
        m_pStream = pa_stream_new(m_pContext, "Sonorette preview", &sampleFormat, nullptr);
        bool ready = false;
        if (m_pStream != nullptr) {
            pa_stream_set_write_callback(m_pStream, &PulseAudioStream::OnWritable, this);
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<std::uint32_t>(-1);
            attr.tlength =
                static_cast<std::uint32_t>(pa_usec_to_bytes(kTargetLengthUsec, &sampleFormat));
            attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRequestUsec, &sampleFormat));
            // After running dry the stream plays again as soon as one request is in, rather
            // than staying silent until its whole buffer is full again.
            attr.prebuf = attr.minreq;
            attr.fragsize = static_cast<std::uint32_t>(-1);
            const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED |
                                                              PA_STREAM_INTERPOLATE_TIMING |
                                                              PA_STREAM_AUTO_TIMING_UPDATE);
            if (pa_stream_connect_playback(m_pStream, nullptr, &attr, flags, nullptr, nullptr) ==
                0) {
                ready = WaitLocked(pLoop, kRequestTimeout,
                                   [this] {
                                       return pa_stream_get_state(m_pStream) != PA_STREAM_CREATING;
                                   }) &&
                        pa_stream_get_state(m_pStream) == PA_STREAM_READY;
            }
        }
        if (ready) {
            // What the server granted, which may be more than was asked for.
            const pa_buffer_attr* pGranted = pa_stream_get_buffer_attr(m_pStream);
            m_bufferFrames = pGranted->tlength / m_blockAlign;
            m_requestFrames = pGranted->minreq / m_blockAlign;
            m_latencyFrames.store(m_bufferFrames);
        }
        pa_threaded_mainloop_unlock(pLoop);
        return ready;
    }

    bool Start() override {
        pa_threaded_mainloop_lock(m_pLoop);
        bool started = pa_stream_get_state(m_pStream) == PA_STREAM_READY;
        if (started) {
            // The server's buffer is filled before the stream runs: its first frame is the
            // first frame heard.
            m_running = true;
            FillWritable();
            pa_operation* pOperation = pa_stream_cork(m_pStream, 0, nullptr, nullptr);
            started = pOperation != nullptr;
            if (pOperation != nullptr) {
                pa_operation_unref(pOperation);
            }
        }
        pa_threaded_mainloop_unlock(m_pLoop);
        return started;
    }

    // Corking halts the stream at once and flushing drops what the server holds, so a reset
    // silences the device at once.
    void Stop() override {
        pa_threaded_mainloop_lock(m_pLoop);
        m_running = false;
        if (pa_stream_get_state(m_pStream) == PA_STREAM_READY) {
            Unref(pa_stream_cork(m_pStream, 1, nullptr, nullptr));
            Unref(pa_stream_flush(m_pStream, nullptr, nullptr));
        }
        pa_threaded_mainloop_unlock(m_pLoop);
    }

    void Drain() override {
        pa_threaded_mainloop* pLoop = m_pLoop;
        pa_threaded_mainloop_lock(pLoop);
        m_running = false;
        if (pa_stream_get_state(m_pStream) == PA_STREAM_READY) {
            pa_operation* pOperation = pa_stream_drain(m_pStream, nullptr, nullptr);
            // A stream that fails meanwhile cancels the operation; a server that does not answer
            // is given up on, and the cork below silences what it still holds.
            WaitLocked(pLoop, kRequestTimeout, [this, pOperation] {
                return pOperation == nullptr ||
                       pa_operation_get_state(pOperation) != PA_OPERATION_RUNNING ||
                       pa_stream_get_state(m_pStream) != PA_STREAM_READY;
            });
            Unref(pOperation);
            Unref(pa_stream_cork(m_pStream, 1, nullptr, nullptr));
        }
        pa_threaded_mainloop_unlock(pLoop);
    }

    std::uint32_t LatencyFrames() const override { return m_latencyFrames.load(); }
    // The server asks for its whole buffer at the start and after running dry, then a request at
    // a time.
    std::uint32_t BurstFrames() const override { return m_bufferFrames + m_requestFrames; }

    bool Close() override { return Release(); }

  private:
    static void Unref(pa_operation* pOperation) {
        if (pOperation != nullptr) {
            pa_operation_unref(pOperation);
        }
    }

    // False when the stream could not be disconnected. A stream that the server has already
    // ended (it failed, or the server went) has nothing left to release.
    bool Release() {
        if (m_pStream == nullptr) {
            return true;
        }
        pa_threaded_mainloop_lock(m_pLoop);
        pa_stream_set_write_callback(m_pStream, nullptr, nullptr);
        const bool released = pa_stream_get_state(m_pStream) != PA_STREAM_READY ||
                              pa_stream_disconnect(m_pStream) == 0;
        pa_stream_unref(m_pStream);
        m_pStream = nullptr;
        pa_threaded_mainloop_unlock(m_pLoop);
        return released;
    }

    static void OnWritable(pa_stream*, size_t, void* pUserData) {
        static_cast<PulseAudioStream*>(pUserData)->FillWritable();
    }

    // Fills what the server asks for from the queue, in the server's own memory blocks, and
    // measures the latency that the last frame written will see. The connection's lock is held.
    void FillWritable() {
        if (!m_running) {
            return;
        }
        std::size_t wanted = pa_stream_writable_size(m_pStream);
        wanted -= wanted % m_blockAlign;
        while (wanted > 0) {
            void* pData = nullptr;
            std::size_t bytes = wanted;
            if (pa_stream_begin_write(m_pStream, &pData, &bytes) < 0 || pData == nullptr) {
                return;
            }
            bytes = std::min(bytes - bytes % m_blockAlign, wanted);
            if (bytes == 0) {
                pa_stream_cancel_write(m_pStream);
                return;
            }
            m_pSource->Render(static_cast<std::uint8_t*>(pData),
                              static_cast<std::uint32_t>(bytes / m_blockAlign));
            if (pa_stream_write(m_pStream, pData, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                return;
            }
            wanted -= bytes;
        }
        pa_usec_t latencyUsec = 0;
        int negative = 0;
        if (pa_stream_get_latency(m_pStream, &latencyUsec, &negative) == 0 && negative == 0) {
            m_latencyFrames.store(
                static_cast<std::uint32_t>(latencyUsec * m_samplesPerSec / PA_USEC_PER_SEC));
        }
    }

    Connection& m_connection;
    pa_threaded_mainloop* const m_pLoop;
    pa_context* const m_pContext;
    IRenderSource* const m_pSource;
    const std::uint32_t m_blockAlign;
    const std::uint32_t m_samplesPerSec;
    pa_stream* m_pStream = nullptr;
    // Guarded by the connection's lock.
    bool m_running = false;
    std::uint32_t m_bufferFrames = 0;
    std::uint32_t m_requestFrames = 0;
    std::atomic<std::uint32_t> m_latencyFrames{0};
};

// The default device through the sound server when one answers; everything else, and every
// machine without a server, through PortAudio.
class DefaultWaveOutDriver final : public IWaveOutDriver {
  public:
    void Prepare() override {
        if (!m_connection.Ensure()) {
            PortAudioDriver().Prepare();
        }
    }

    MMRESULT Query(std::uint32_t deviceId, const WAVEFORMATEX& format) override {
        if (deviceId != WAVE_MAPPER || !m_connection.Ensure()) {
            return PortAudioDriver().Query(deviceId, format);
        }
        pa_sample_spec sampleFormat{};
        return MakeSampleFormat(format, &sampleFormat) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    }

    MMRESULT Open(std::uint32_t deviceId, const WAVEFORMATEX& format, IRenderSource* pSource,
                  std::unique_ptr<IBackendStream>* pStream) override {
        pa_sample_spec sampleFormat{};
        if (deviceId == WAVE_MAPPER && !MakeSampleFormat(format, &sampleFormat)) {
            return WAVERR_BADFORMAT;
        }
        const std::optional<Connection::Handles> handles =
            deviceId == WAVE_MAPPER ? m_connection.AcquireStream() : std::nullopt;
        if (!handles) {
            return PortAudioDriver().Open(deviceId, format, pSource, pStream);
        }
        auto pPulseStream =
            std::make_unique<PulseAudioStream>(m_connection, *handles, pSource, format);
        if (!pPulseStream->Open(sampleFormat)) {
            return MMSYSERR_ERROR;
        }
        *pStream = std::move(pPulseStream);
        return MMSYSERR_NOERROR;
    }

  private:
    Connection m_connection;
};

}  // namespace

IWaveOutDriver& DefaultDriver() {
    // Never destroyed: a device still open at exit is closed by the device table's destructor,
    // which runs after those of statics made later, as this one is.
    static auto* const s_pDriver = new DefaultWaveOutDriver;
    return *s_pDriver;
}

}  // namespace platform
