#include "WavePlayer.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>

#include "platform/MessageBox.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes per source frame: two 16-bit samples.
constexpr std::uint32_t kSourceFrameBytes = 4;
// The feeder's niceness when the system lets it raise its priority.
constexpr int kFeederNice = -5;
// A device that has taken nothing for this long after the last frame was written will not take
// the rest: its queue has run dry for good (its buffers are no longer handed back).
constexpr auto kStallTimeout = std::chrono::seconds(1);
// A device that takes no frame for this long while it is fed has gone (a sound server that died
// mid-play): the preview then ends as at its end, rather than running on in silence for ever.
// Far longer than any hold-up of a live device, so that only a dead one meets it.
constexpr auto kDeadDeviceTimeout = std::chrono::seconds(5);

}  // namespace

CWavePlayer::CWavePlayer(platform::IWaveNotifyTarget* hWndNotify, std::uint32_t deviceId,
                         const platform::WAVEFORMATEX* pFormat, const std::uint8_t* pFrames,
                         std::uint32_t totalFrames, std::int32_t bufferBytes,
                         std::int32_t bufferCount, std::uint32_t tailWaitMs, std::uint32_t pollMs,
                         PLAYPROGRESSPROC pfnProgress)
    : m_hWndNotify(hWndNotify),
      m_pFormat(pFormat),
      m_pFrames(pFrames),
      m_totalFrames(totalFrames),
      m_bufferBytes(bufferBytes),
      m_bufferCount(bufferCount),
      m_pollMs(pollMs),
      m_leadFrames(LeadFrames(pFormat->nSamplesPerSec, tailWaitMs, pollMs)),
      m_tailWaitMs(tailWaitMs),
      m_pfnProgress(pfnProgress) {
    m_pDevice = std::make_unique<CWaveOutDevice>(deviceId, pFormat, bufferBytes, bufferCount);
    m_pWriteCursor = std::make_unique<CRingCursor>(bufferBytes, bufferCount, pFormat);
    m_pTargetCursor = std::make_unique<CRingCursor>(bufferBytes, bufferCount, pFormat);
    m_pFillCursor = std::make_unique<CRingCursor>(bufferBytes, bufferCount, pFormat);
}

CWavePlayer::~CWavePlayer() {
    Stop();
}

std::int32_t CWavePlayer::LeadFrames(std::uint32_t samplesPerSec, std::uint32_t tailWaitMs,
                                     std::uint32_t pollMs) {
    const auto waitMs = static_cast<std::int32_t>(tailWaitMs + pollMs);
    return static_cast<std::int32_t>(waitMs * 0.001 * samplesPerSec);
}

std::int32_t CWavePlayer::LeadFramesForBurst(std::uint32_t samplesPerSec, std::uint32_t burstFrames,
                                             std::uint32_t tailWaitMs, std::uint32_t pollMs) {
    const std::int64_t needed =
        std::int64_t{burstFrames} + LeadFrames(samplesPerSec, kLateWakeMs, pollMs);
    return static_cast<std::int32_t>(
        std::max<std::int64_t>(LeadFrames(samplesPerSec, tailWaitMs, pollMs), needed));
}

std::int32_t CWavePlayer::BufferCountForLead(std::int32_t leadFrames, std::int32_t framesPerBuffer,
                                             std::int32_t minimumCount) {
    const std::int64_t perBuffer = std::max<std::int32_t>(framesPerBuffer, 1);
    const std::int64_t needed = std::int64_t{leadFrames} * 3 / 2;
    return static_cast<std::int32_t>(
        std::max<std::int64_t>((needed + perBuffer - 1) / perBuffer, minimumCount));
}

std::int32_t CWavePlayer::BufferCountFor(std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                                         std::int32_t bufferBytes, std::int32_t minimumCount,
                                         std::uint32_t tailWaitMs, std::uint32_t pollMs) {
    return BufferCountForLead(LeadFrames(samplesPerSec, tailWaitMs, pollMs),
                              bufferBytes / std::max<std::int32_t>(blockAlign, 1), minimumCount);
}

bool CWavePlayer::ResizeRing(std::int32_t bufferCount) {
    if (!m_pDevice->ResizeRing(bufferCount)) {
        return false;
    }
    m_bufferCount = bufferCount;
    for (std::unique_ptr<CRingCursor>* pCursor :
         {&m_pWriteCursor, &m_pTargetCursor, &m_pFillCursor}) {
        *pCursor = std::make_unique<CRingCursor>(m_bufferBytes, bufferCount, m_pFormat);
    }
    return true;
}

void CWavePlayer::Start() {
    if (m_running.load()) {
        return;
    }
    // A feeder of an earlier run has ended, or is ending, by itself.
    if (m_feeder.joinable()) {
        m_feeder.join();
    }
    if (!m_pDevice->QueryFormat() || !m_pDevice->Open(m_hWndNotify)) {
        return;
    }
    try {
        if (m_pDevice->IsRingReady()) {
            m_leadFrames = LeadFramesForBurst(m_pFormat->nSamplesPerSec, m_pDevice->GetBurst(),
                                              m_tailWaitMs, m_pollMs);
            const std::int32_t bufferCount =
                BufferCountForLead(m_leadFrames, m_pDevice->FramesPerBuffer(), m_bufferCount);
            if (bufferCount != m_bufferCount && !ResizeRing(bufferCount)) {
                return;
            }
        }
        if (!m_pDevice->Prime()) {
            return;
        }
        // A device reads ahead as soon as it runs, so the first lead of frames must be in the
        // ring before the restart or the first tens of milliseconds of the preview would be lost.
        m_pWriteCursor->SetFrame(0);
        m_fedFrames = 0;
        FillAhead(0);
        m_pDevice->Restart();
        m_lastPosition = 0;
        m_lastMove = Clock::now();
        m_feedEnded.store(false);
        m_running.store(true);
        BeginFeeder();
    } catch (const std::exception&) {
        // Memory (std::bad_alloc) or a thread (std::system_error) that cannot be had.
        platform::ShowMessageBox("再生を開始できませんでした。");
        StopDevice(false);
    }
}

bool CWavePlayer::StopDevice(bool playOut) {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_running.store(false);
    }
    m_wake.notify_all();
    // Declared before the lock, so that a failed close is shown once the lock is let go.
    const platform::CDeferredMessages deferred;
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    if (playOut) {
        m_pDevice->Drain();
    }
    m_pDevice->Reset();
    return m_pDevice->Close();
}

bool CWavePlayer::Stop() {
    // Resetting the device now would cut the end of the sound that the feeder is playing out.
    const bool closed = m_feedEnded.load() || StopDevice(false);
    if (m_feeder.joinable()) {
        m_feeder.join();
    }
    return closed;
}

void CWavePlayer::OnBufferDone(platform::WAVEHDR* pHeader) {
    // A failed requeue's message box runs an event loop that can deliver the next finished
    // buffer to this same thread; it must find the mutex free.
    const platform::CDeferredMessages deferred;
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    if (m_running.load()) {
        m_pDevice->Requeue(pHeader);
    }
}

void CWavePlayer::FillAhead(std::uint32_t position) {
    const std::uint32_t writeFrame = m_pWriteCursor->Frame();
    const std::uint32_t target = position + static_cast<std::uint32_t>(m_leadFrames);
    // Frame numbers rather than ring places: a target behind the write cursor means there is
    // nothing to write yet, where a distance around the ring would read it as almost a whole
    // turn ahead.
    const auto ahead = static_cast<std::int32_t>(target - writeFrame);
    if (ahead <= 0) {
        return;
    }
    // A feeder held up for longer than a turn of the ring can only write the last turn; the
    // frames before it have been played from an earlier turn already.
    const auto ringFrames =
        static_cast<std::uint32_t>(m_bufferCount * m_pDevice->FramesPerBuffer());
    const std::uint32_t from = target - std::min(static_cast<std::uint32_t>(ahead), ringFrames);
    const std::uint32_t sourceEnd = std::max(from, std::min(target, m_totalFrames));
    if (sourceEnd > from) {
        m_pFillCursor->SetFrame(from);
        m_pDevice->WriteFrames(static_cast<std::int32_t>(m_pFillCursor->Index()),
                               static_cast<std::int32_t>(m_pFillCursor->Offset()),
                               m_pFrames + std::size_t{from} * kSourceFrameBytes,
                               static_cast<std::int32_t>(sourceEnd - from));
    }
    if (target > sourceEnd) {
        m_pFillCursor->SetFrame(sourceEnd);
        m_pDevice->ClearFrames(static_cast<std::int32_t>(m_pFillCursor->Index()),
                               static_cast<std::int32_t>(m_pFillCursor->Offset()),
                               static_cast<std::int32_t>(target - sourceEnd));
    }
    m_pTargetCursor->SetFrame(target);
    m_pWriteCursor->Assign(*m_pTargetCursor);
    m_fedFrames = std::min(target, m_totalFrames);
}

bool CWavePlayer::FeedStep() {
    const std::uint32_t position = m_pDevice->GetPosition();
    FillAhead(position);
    bool more = true;
    if (m_fedFrames >= m_totalFrames) {
        WaitForTail();
        m_feedEnded.store(m_running.load());
        more = false;
    } else if (DeviceHasGone(position)) {
        // Told to the owner as the end, so that its Play comes back; the device is closed
        // without a drain that it would never finish.
        m_fedFrames = m_totalFrames;
        more = false;
    }
    if (m_pfnProgress != nullptr) {
        m_pfnProgress(m_fedFrames, m_totalFrames);
    }
    return more;
}

bool CWavePlayer::DeviceHasGone(std::uint32_t position) {
    const Clock::time_point now = Clock::now();
    if (position != m_lastPosition) {
        m_lastPosition = position;
        m_lastMove = now;
        return false;
    }
    return now - m_lastMove > kDeadDeviceTimeout;
}

void CWavePlayer::WaitForTail() {
    const Clock::time_point tailEnd = Clock::now() + std::chrono::milliseconds(m_tailWaitMs);
    // The device takes frames a latency before they are heard: once it has taken that much
    // silence after the last frame, the last frame has been heard. A sound server's drain does
    // not always wait for what the server itself still holds.
    const std::uint32_t endFrame = m_totalFrames + m_pDevice->GetLatency();
    std::uint32_t lastPosition = m_pDevice->GetPosition();
    Clock::time_point lastMove = Clock::now();
    while (m_running.load()) {
        Wait(m_pollMs);
        const std::uint32_t position = m_pDevice->GetPosition();
        FillAhead(position);
        const Clock::time_point now = Clock::now();
        if (position != lastPosition) {
            lastPosition = position;
            lastMove = now;
        }
        if ((now >= tailEnd && position >= endFrame) || now - lastMove > kStallTimeout) {
            return;
        }
    }
}

void CWavePlayer::Wait(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [this] { return !m_running.load(); });
}

void CWavePlayer::BeginFeeder() {
    m_feeder = std::thread(FeederProc, this);
}

void CWavePlayer::FeederProc(CWavePlayer* pPlayer) {
    // Named so that tools (and the preview benchmark) can find it among the process's threads.
    ::pthread_setname_np(::pthread_self(), "sonorette-feed");
    // Above the owner's priority where the system allows it; otherwise the same.
    static_cast<void>(
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kFeederNice));
    while (pPlayer->m_running.load()) {
        const bool more = pPlayer->FeedStep();
        pPlayer->Wait(pPlayer->m_pollMs);
        if (!more) {
            // The sound server still holds the last frames that the device has taken: they are
            // played out rather than cut.
            pPlayer->StopDevice(pPlayer->m_feedEnded.load());
            break;
        }
    }
}
