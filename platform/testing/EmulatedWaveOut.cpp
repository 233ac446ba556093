#include "platform/testing/EmulatedWaveOut.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/testing/FaultInjection.h"

namespace platform {

// One open emulated device. Its frames are played with the driver's mutex held, so Stop, which
// takes the same mutex, returns only once no Render is in progress.
class EmulatedWaveOut::Stream final : public IBackendStream {
  public:
    Stream(EmulatedWaveOut& owner, const WAVEFORMATEX& format, IRenderSource* pSource)
        : m_owner(owner), m_format(format), m_pSource(pSource) {}

    ~Stream() override {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        Detach();
    }

    bool Start() override {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        m_running = true;
        m_started = std::chrono::steady_clock::now();
        m_framesPlayed = 0;
        m_owner.m_wake.notify_all();
        return true;
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        m_running = false;
    }

    // A real-time device takes each period as it begins, so its latency includes one period.
    std::uint32_t LatencyFrames() const override {
        const EmulatedWaveOut::Options& options = m_owner.m_options;
        return options.latencyFrames + (options.realTime ? options.periodFrames : 0);
    }

    // It takes whole periods: at its start its latency and a period, rounded up to whole
    // periods, and after a late wake-up the periods it missed as well.
    std::uint32_t BurstFrames() const override {
        const EmulatedWaveOut::Options& options = m_owner.m_options;
        if (!options.realTime) {
            return options.latencyFrames + options.periodFrames;
        }
        const std::uint64_t period = std::max(options.periodFrames, 1u);
        const std::uint64_t ahead =
            options.latencyFrames +
            std::uint64_t{options.jitterMicroseconds} * m_format.nSamplesPerSec / 1000000;
        return static_cast<std::uint32_t>((ahead + period - 1) / period * period + period);
    }

    bool Close() override {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        m_running = false;
        Detach();
        return !std::exchange(m_owner.m_failClose, false);
    }

    // The driver's mutex is held.
    void Play(std::uint32_t frameCount) {
        if (!m_running) {
            return;
        }
        const std::size_t bytes = static_cast<std::size_t>(frameCount) * m_format.nBlockAlign;
        m_owner.m_scratch.resize(bytes);
        const std::uint32_t taken = m_pSource->Render(m_owner.m_scratch.data(), frameCount);
        m_owner.m_recording.insert(
            m_owner.m_recording.end(), m_owner.m_scratch.begin(),
            m_owner.m_scratch.begin() + static_cast<std::ptrdiff_t>(taken) * m_format.nBlockAlign);
        m_owner.m_silentFrames += frameCount - taken;
        m_framesPlayed += frameCount;
    }

    // Frames that the real-time clock owes this device: those heard by now, and those it holds
    // ahead of the listener.
    std::uint64_t FramesDue(std::chrono::steady_clock::time_point now) const {
        if (!m_running) {
            return 0;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(now - m_started).count();
        const auto due = static_cast<std::uint64_t>(elapsed) * m_format.nSamplesPerSec / 1000000 +
                         LatencyFrames();
        return due > m_framesPlayed ? due - m_framesPlayed : 0;
    }

    std::uint32_t SampleRate() const { return m_format.nSamplesPerSec; }

  private:
    void Detach() {
        auto& streams = m_owner.m_streams;
        streams.erase(std::remove(streams.begin(), streams.end(), this), streams.end());
    }

    EmulatedWaveOut& m_owner;
    const WAVEFORMATEX m_format;
    IRenderSource* const m_pSource;
    bool m_running = false;
    std::chrono::steady_clock::time_point m_started;
    std::uint64_t m_framesPlayed = 0;
};

EmulatedWaveOut::EmulatedWaveOut(const Options& options)
    : m_options(options), m_random(options.seed) {
    if (m_options.realTime) {
        m_clock = std::thread([this] { RealTimeLoop(); });
    }
}

EmulatedWaveOut::~EmulatedWaveOut() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_wake.notify_all();
    }
    if (m_clock.joinable()) {
        m_clock.join();
    }
}

MMRESULT EmulatedWaveOut::Query(std::uint32_t, const WAVEFORMATEX& format) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::exchange(m_failQuery, false) || format.wFormatTag != 1 ||
        (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)) {
        return WAVERR_BADFORMAT;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT EmulatedWaveOut::Open(std::uint32_t deviceId, const WAVEFORMATEX& format,
                               IRenderSource* pSource, std::unique_ptr<IBackendStream>* pStream) {
    if (Query(deviceId, format) != MMSYSERR_NOERROR) {
        return WAVERR_BADFORMAT;
    }
    // Made before the lock is taken: should the open fail, the stream goes (taking the lock
    // itself) after the lock is let go.
    auto pOpened = std::make_unique<Stream>(*this, format, pSource);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::exchange(m_failOpen, false)) {
        return MMSYSERR_ERROR;
    }
    // Open from now until closed, whether it plays or not.
    m_streams.push_back(pOpened.get());
    ++m_opensSoFar;
    *pStream = std::move(pOpened);
    return MMSYSERR_NOERROR;
}

void EmulatedWaveOut::Advance(std::uint32_t frameCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    RenderLocked(frameCount);
}

void EmulatedWaveOut::RenderLocked(std::uint32_t frameCount) {
    for (Stream* pStream : m_streams) {
        pStream->Play(frameCount);
    }
}

void EmulatedWaveOut::RealTimeLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uniform_int_distribution<std::uint32_t> jitter(0, m_options.jitterMicroseconds);
    while (!m_quit) {
        const auto now = std::chrono::steady_clock::now();
        std::uint32_t sampleRate = 0;
        for (Stream* pStream : m_streams) {
            // A device takes whole periods, and catches up at once after a late wake.
            std::uint64_t due = pStream->FramesDue(now);
            while (due > 0) {
                pStream->Play(m_options.periodFrames);
                due -= std::min<std::uint64_t>(due, m_options.periodFrames);
            }
            sampleRate = std::max(sampleRate, pStream->SampleRate());
        }
        if (sampleRate == 0) {
            m_wake.wait(lock);
            continue;
        }
        const auto period =
            std::chrono::microseconds(std::uint64_t{m_options.periodFrames} * 1000000 / sampleRate);
        m_wake.wait_for(lock, period + std::chrono::microseconds(jitter(m_random)));
    }
}

void EmulatedWaveOut::FailNextQuery() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failQuery = true;
}

void EmulatedWaveOut::FailNextOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failOpen = true;
}

void EmulatedWaveOut::FailNextClose() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failClose = true;
}

void EmulatedWaveOut::FailPrepare(int callsFromNow) {
    faults::FailWaveOutPrepare(callsFromNow);
}

void EmulatedWaveOut::FailWrite(int callsFromNow) {
    faults::FailWaveOutWrite(callsFromNow);
}

std::vector<std::uint8_t> EmulatedWaveOut::Recording() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recording;
}

void EmulatedWaveOut::ClearRecording() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording.clear();
}

std::uint64_t EmulatedWaveOut::SilentFrames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_silentFrames;
}

int EmulatedWaveOut::OpenDevices() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_streams.size());
}

int EmulatedWaveOut::OpensSoFar() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opensSoFar;
}

}  // namespace platform
