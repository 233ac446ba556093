#include "platform/WaveOut.h"

#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/WaveOutDriver.h"

namespace platform {
namespace {

// A queue of one producer and one consumer that neither blocks nor allocates.
template <typename T, std::size_t Capacity>
class SpscRing {
  public:
    bool Push(T item) {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        const std::size_t next = (tail + 1) % Capacity;
        if (next == m_head.load(std::memory_order_acquire)) {
            return false;
        }
        m_items[tail] = item;
        m_tail.store(next, std::memory_order_release);
        return true;
    }

    bool Pop(T* pItem) {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head == m_tail.load(std::memory_order_acquire)) {
            return false;
        }
        *pItem = m_items[head];
        m_head.store((head + 1) % Capacity, std::memory_order_release);
        return true;
    }

  private:
    T m_items[Capacity] = {};
    std::atomic<std::size_t> m_head{0};
    std::atomic<std::size_t> m_tail{0};
};

// Buffers that may be queued on one device at once.
constexpr std::size_t kQueueCapacity = 1024;

// One open device: the queue of buffers that the backend's audio thread plays, and the thread
// that reports finished buffers to the notification target.
//
// The audio thread owns the buffer being played and the consumer side of the queue while the
// backend runs; the control calls take them over only after stopping the backend. Control calls
// are serialised by m_controlMutex; the position is read without it.
class WaveOutQueue final : public IRenderSource {
  public:
    WaveOutQueue(HWAVEOUT handle, const WAVEFORMATEX& format, IWaveNotifyTarget* pTarget)
        : m_handle(handle), m_format(format), m_pTarget(pTarget) {
        ::sem_init(&m_doneSignal, 0, 0);
    }

    // A queue that was never closed (its open failed half-way) still lets its stream go.
    ~WaveOutQueue() {
        if (m_pStream && !m_streamClosed) {
            StopStream();
            m_pStream->Close();
        }
        StopNotifier();
        ::sem_destroy(&m_doneSignal);
    }

    WaveOutQueue(const WaveOutQueue&) = delete;
    WaveOutQueue& operator=(const WaveOutQueue&) = delete;

    MMRESULT Open(IWaveOutDriver& driver, std::uint32_t deviceId) {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        const MMRESULT result = driver.Open(deviceId, m_format, this, &m_pStream);
        if (result != MMSYSERR_NOERROR) {
            return result;
        }
        // The stream starts with the first buffer queued on a playing device, or at the restart
        // of a paused one: started at the open, it would only take silence from the empty queue
        // until then.
        m_notifier = std::thread([this] { NotifierLoop(); });
        return MMSYSERR_NOERROR;
    }

    MMRESULT Prepare(WAVEHDR* pHeader) {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if ((pHeader->dwFlags.load() & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        pHeader->dwFlags.fetch_or(WHDR_PREPARED);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Unprepare(WAVEHDR* pHeader) {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if ((pHeader->dwFlags.load() & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        pHeader->dwFlags.fetch_and(~WHDR_PREPARED);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(WAVEHDR* pHeader) {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        const std::uint32_t flags = pHeader->dwFlags.load();
        if ((flags & WHDR_PREPARED) == 0) {
            return WAVERR_UNPREPARED;
        }
        if ((flags & WHDR_INQUEUE) != 0) {
            return WAVERR_STILLPLAYING;
        }
        if (!m_streamRunning && !m_paused.load()) {
            if (!m_pStream->Start()) {
                return MMSYSERR_ERROR;
            }
            m_streamRunning = true;
        }
        pHeader->dwFlags.store((flags & ~WHDR_DONE) | WHDR_INQUEUE);
        m_queuedCount.fetch_add(1);
        if (!m_queue.Push(pHeader)) {
            m_queuedCount.fetch_sub(1);
            pHeader->dwFlags.store(flags);
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

    void PublishWrites() { m_writeEpoch.fetch_add(1, std::memory_order_release); }

    // Returns once the audio thread takes no more frames: a Render that began before the pause
    // may still take a buffer queued meanwhile, and its frames before the caller has filled it.
    void Pause() {
        m_paused.store(true);
        while (m_rendering.load()) {
            std::this_thread::yield();
        }
    }

    MMRESULT Restart() {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        m_paused.store(false);
        if (!m_streamRunning) {
            if (!m_pStream->Start()) {
                return MMSYSERR_ERROR;
            }
            m_streamRunning = true;
        }
        return MMSYSERR_NOERROR;
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        StopStream();
        // The audio thread has stopped: this thread finishes what it was playing and what waited.
        if (m_pCurrent != nullptr) {
            FinishHeader(m_pCurrent);
            m_pCurrent = nullptr;
        }
        WAVEHDR* pHeader = nullptr;
        while (m_queue.Pop(&pHeader)) {
            FinishHeader(pHeader);
        }
        m_bytesTaken.store(0);
        m_paused.store(false);
    }

    void Drain() {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        // What is still queued past the caller's last write is not to be heard.
        Pause();
        if (m_streamRunning) {
            m_pStream->Drain();
            m_streamRunning = false;
        }
    }

    // false while buffers are still queued.
    MMRESULT Close() {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if (m_queuedCount.load() != 0) {
            return WAVERR_STILLPLAYING;
        }
        StopStream();
        const bool closed = m_pStream->Close();
        m_streamClosed = true;
        StopNotifier();
        return closed ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }

    std::uint32_t LatencyFrames() const { return m_pStream->LatencyFrames(); }
    std::uint32_t BurstFrames() const { return m_pStream->BurstFrames(); }

    // What the device has really taken, not an estimate of what has been heard: an estimate
    // that follows a varying latency can step back, and can fall behind the device's reading.
    std::uint32_t Position() const {
        return static_cast<std::uint32_t>(m_bytesTaken.load(std::memory_order_acquire) /
                                          m_format.nBlockAlign);
    }

    std::uint32_t Render(std::uint8_t* pOut, std::uint32_t frameCount) override {
        const std::size_t bytes = static_cast<std::size_t>(frameCount) * m_format.nBlockAlign;
        std::size_t filled = 0;
        // Pairs with PublishWrites: the frames written into queued buffers before it are seen.
        m_writeEpoch.load(std::memory_order_acquire);
        // Announced before the pause is looked at, so that Pause sees either this Render or its
        // own flag seen here.
        m_rendering.store(true);
        if (!m_paused.load()) {
            while (filled < bytes) {
                if (m_pCurrent == nullptr) {
                    if (!m_queue.Pop(&m_pCurrent)) {
                        break;
                    }
                    m_currentOffset = 0;
                }
                const std::size_t n = std::min<std::size_t>(
                    bytes - filled, m_pCurrent->dwBufferLength - m_currentOffset);
                std::memcpy(pOut + filled, m_pCurrent->lpData + m_currentOffset, n);
                filled += n;
                m_currentOffset += static_cast<std::uint32_t>(n);
                if (m_currentOffset >= m_pCurrent->dwBufferLength) {
                    FinishHeader(m_pCurrent);
                    m_pCurrent = nullptr;
                }
            }
            m_bytesTaken.fetch_add(filled, std::memory_order_release);
        }
        m_rendering.store(false, std::memory_order_release);
        // 8-bit samples are unsigned, with silence at 128.
        std::memset(pOut + filled, m_format.wBitsPerSample == 8 ? 0x80 : 0, bytes - filled);
        return static_cast<std::uint32_t>(filled / m_format.nBlockAlign);
    }

  private:
    void StopStream() {
        if (m_streamRunning) {
            m_pStream->Stop();
            m_streamRunning = false;
        }
    }

    // Hands a buffer back as done; called by the audio thread, or by a control call while the
    // audio thread is stopped.
    void FinishHeader(WAVEHDR* pHeader) {
        const std::uint32_t flags = pHeader->dwFlags.load(std::memory_order_relaxed);
        pHeader->dwFlags.store((flags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
        m_queuedCount.fetch_sub(1, std::memory_order_release);
        m_done.Push(pHeader);
        ::sem_post(&m_doneSignal);
    }

    void NotifierLoop() {
        for (;;) {
            while (::sem_wait(&m_doneSignal) != 0 && errno == EINTR) {
            }
            // Read before the queue is emptied: what was finished before the close was asked for
            // is then certain to be reported.
            const bool closing = m_closing.load();
            WAVEHDR* pHeader = nullptr;
            while (m_done.Pop(&pHeader)) {
                m_pTarget->PostWaveDone(m_handle, pHeader);
            }
            if (closing) {
                return;
            }
        }
    }

    void StopNotifier() {
        if (m_notifier.joinable()) {
            m_closing.store(true);
            ::sem_post(&m_doneSignal);
            m_notifier.join();
        }
    }

    const HWAVEOUT m_handle;
    const WAVEFORMATEX m_format;
    IWaveNotifyTarget* const m_pTarget;

    std::mutex m_controlMutex;
    std::unique_ptr<IBackendStream> m_pStream;
    bool m_streamRunning = false;
    bool m_streamClosed = false;

    SpscRing<WAVEHDR*, kQueueCapacity> m_queue;
    std::atomic<std::uint32_t> m_queuedCount{0};
    std::atomic<bool> m_paused{false};
    std::atomic<bool> m_rendering{false};
    std::atomic<std::uint64_t> m_bytesTaken{0};
    std::atomic<std::uint64_t> m_writeEpoch{0};
    // The audio thread's own: the buffer being played and how far.
    WAVEHDR* m_pCurrent = nullptr;
    std::uint32_t m_currentOffset = 0;

    // Twice the queue: a caller may queue a buffer again before its notification went out.
    SpscRing<WAVEHDR*, 2 * kQueueCapacity> m_done;
    sem_t m_doneSignal;
    std::atomic<bool> m_closing{false};
    std::thread m_notifier;
};

std::mutex g_registryMutex;
std::map<HWAVEOUT, std::shared_ptr<WaveOutQueue>> g_devices;
HWAVEOUT g_lastHandle = kNoWaveOut;
std::atomic<IWaveOutDriver*> g_pDriver{nullptr};

IWaveOutDriver& CurrentDriver() {
    IWaveOutDriver* pDriver = g_pDriver.load();
    return pDriver != nullptr ? *pDriver : DefaultDriver();
}

// The device stays alive for the duration of a call even if another thread closes it meanwhile.
std::shared_ptr<WaveOutQueue> Find(HWAVEOUT hWaveOut) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    const auto found = g_devices.find(hWaveOut);
    return found != g_devices.end() ? found->second : nullptr;
}

bool IsUsableFormat(const WAVEFORMATEX* pFormat) {
    return pFormat != nullptr && pFormat->nBlockAlign > 0 && pFormat->nSamplesPerSec > 0;
}

}  // namespace

void SetWaveOutDriver(IWaveOutDriver* pDriver) {
    g_pDriver.store(pDriver);
}

void waveOutPrepare() {
    CurrentDriver().Prepare();
}

MMRESULT waveOutOpen(HWAVEOUT* phWaveOut, std::uint32_t deviceId, const WAVEFORMATEX* pFormat,
                     IWaveNotifyTarget* pTarget, std::uintptr_t /*instance*/, std::uint32_t flags) {
    if (!IsUsableFormat(pFormat)) {
        return WAVERR_BADFORMAT;
    }
    IWaveOutDriver& driver = CurrentDriver();
    if ((flags & WAVE_FORMAT_QUERY) != 0) {
        return driver.Query(deviceId, *pFormat);
    }
    if (phWaveOut == nullptr || pTarget == nullptr || (flags & CALLBACK_TARGET) == 0) {
        return MMSYSERR_INVALPARAM;
    }
    HWAVEOUT handle = kNoWaveOut;
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        handle = ++g_lastHandle;
    }
    // Like the interface it stands in for, this one reports failures by its results: memory or a
    // thread that cannot be had fails the open.
    try {
        auto pQueue = std::make_shared<WaveOutQueue>(handle, *pFormat, pTarget);
        if (const MMRESULT result = pQueue->Open(driver, deviceId); result != MMSYSERR_NOERROR) {
            return result;
        }
        std::lock_guard<std::mutex> lock(g_registryMutex);
        g_devices.emplace(handle, pQueue);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    *phWaveOut = handle;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT result = pQueue->Close();
    if (result != WAVERR_STILLPLAYING) {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        g_devices.erase(hWaveOut);
    }
    return result;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    if (pHeader == nullptr || headerBytes != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    return pQueue->Prepare(pHeader);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    if (pHeader == nullptr || headerBytes != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    return pQueue->Unprepare(pHeader);
}

MMRESULT waveOutWrite(HWAVEOUT hWaveOut, WAVEHDR* pHeader, std::uint32_t headerBytes) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    if (pHeader == nullptr || headerBytes != sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    return pQueue->Write(pHeader);
}

MMRESULT waveOutPause(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    pQueue->Pause();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    return pQueue ? pQueue->Restart() : MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutReset(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    pQueue->Reset();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutBuffersWritten(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    pQueue->PublishWrites();
    return MMSYSERR_NOERROR;
}

namespace {

// Gives a count of frames that the open device knows of itself.
MMRESULT GetFrames(HWAVEOUT hWaveOut, std::uint32_t* pFrames,
                   std::uint32_t (WaveOutQueue::*count)() const) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    if (pFrames == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    *pFrames = ((*pQueue).*count)();
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT waveOutGetLatency(HWAVEOUT hWaveOut, std::uint32_t* pFrames) {
    return GetFrames(hWaveOut, pFrames, &WaveOutQueue::LatencyFrames);
}

MMRESULT waveOutGetBurst(HWAVEOUT hWaveOut, std::uint32_t* pFrames) {
    return GetFrames(hWaveOut, pFrames, &WaveOutQueue::BurstFrames);
}

MMRESULT waveOutDrain(HWAVEOUT hWaveOut) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    pQueue->Drain();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT hWaveOut, MMTIME* pTime, std::uint32_t timeBytes) {
    const std::shared_ptr<WaveOutQueue> pQueue = Find(hWaveOut);
    if (!pQueue) {
        return MMSYSERR_INVALHANDLE;
    }
    if (pTime == nullptr || timeBytes != sizeof(MMTIME)) {
        return MMSYSERR_INVALPARAM;
    }
    pTime->wType = TIME_SAMPLES;
    pTime->sample = pQueue->Position();
    return MMSYSERR_NOERROR;
}

}  // namespace platform
