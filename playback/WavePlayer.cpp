#include "WavePlayer.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

namespace {

// Bytes per source frame: two 16-bit samples.
constexpr std::uint32_t kSourceFrameBytes = 4;
// The feeder's niceness when the system lets it raise its priority.
constexpr int kFeederNice = -5;

}  // namespace

CWavePlayer::CWavePlayer(platform::IWaveNotifyTarget* hWndNotify, std::uint32_t deviceId,
                         const platform::WAVEFORMATEX* pFormat, const std::uint8_t* pFrames,
                         std::uint32_t totalFrames, std::int32_t bufferBytes,
                         std::int32_t bufferCount, std::uint32_t tailWaitMs, std::uint32_t pollMs,
                         PLAYPROGRESSPROC pfnProgress)
    : m_hWndNotify(hWndNotify),
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
    m_pEndCursor = std::make_unique<CRingCursor>(bufferBytes, bufferCount, pFormat);
}

CWavePlayer::~CWavePlayer() {
    Stop();
}

std::int32_t CWavePlayer::LeadFrames(std::uint32_t samplesPerSec, std::uint32_t tailWaitMs,
                                     std::uint32_t pollMs) {
    const auto waitMs = static_cast<std::int32_t>(tailWaitMs + pollMs);
    return static_cast<std::int32_t>(waitMs * 0.001 * samplesPerSec);
}

std::int32_t CWavePlayer::BufferCountFor(std::uint32_t samplesPerSec, std::uint16_t blockAlign,
                                         std::int32_t bufferBytes, std::int32_t minimumCount,
                                         std::uint32_t tailWaitMs, std::uint32_t pollMs) {
    const std::int64_t framesPerBuffer = bufferBytes / std::max<std::int32_t>(blockAlign, 1);
    const std::int64_t needed = LeadFrames(samplesPerSec, tailWaitMs, pollMs) * std::int64_t{3} / 2;
    const std::int64_t count =
        (needed + framesPerBuffer - 1) / std::max<std::int64_t>(framesPerBuffer, 1);
    return static_cast<std::int32_t>(std::max<std::int64_t>(count, minimumCount));
}

void CWavePlayer::Start() {
    if (m_running.load()) {
        return;
    }
    // A feeder of an earlier run has ended, or is ending, by itself.
    if (m_feeder.joinable()) {
        m_feeder.join();
    }
    if (!m_pDevice->QueryFormat() || !m_pDevice->Open(m_hWndNotify) || !m_pDevice->Prime()) {
        return;
    }
    // A device reads ahead as soon as it runs, so the first lead of frames must be in the ring
    // before the restart or the first tens of milliseconds of the preview would be lost.
    const std::int32_t ringFrames = m_bufferCount * m_pDevice->FramesPerBuffer();
    const auto firstFrames = static_cast<std::uint32_t>(
        std::min<std::int64_t>({m_leadFrames, m_totalFrames, ringFrames}));
    m_pDevice->WriteFrames(0, 0, m_pFrames, static_cast<std::int32_t>(firstFrames));
    m_fedFrames = firstFrames;
    m_pWriteCursor->SetFrame(firstFrames);
    m_pDevice->Restart();
    m_feedEnded.store(false);
    m_running.store(true);
    BeginFeeder();
}

bool CWavePlayer::StopDevice(bool playOut) {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_running.store(false);
    }
    m_wake.notify_all();
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
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    if (m_running.load()) {
        m_pDevice->Requeue(pHeader);
    }
}

bool CWavePlayer::FeedStep() {
    const std::uint32_t position = m_pDevice->GetPosition();
    m_pTargetCursor->SetFrame(position + static_cast<std::uint32_t>(m_leadFrames));
    std::int32_t frameCount = m_pWriteCursor->DistanceTo(*m_pTargetCursor);
    // A target behind the write cursor means there is nothing to write yet; it must not be
    // mistaken, through unsigned arithmetic, for more frames than are left.
    if (frameCount > 0) {
        if (m_fedFrames + static_cast<std::uint32_t>(frameCount) > m_totalFrames) {
            frameCount = static_cast<std::int32_t>(m_totalFrames - m_fedFrames);
        }
        m_pDevice->WriteFrames(static_cast<std::int32_t>(m_pWriteCursor->Index()),
                               static_cast<std::int32_t>(m_pWriteCursor->Offset()),
                               m_pFrames + std::size_t{m_fedFrames} * kSourceFrameBytes,
                               frameCount);
        m_fedFrames += static_cast<std::uint32_t>(frameCount);
    }
    const std::uint32_t endFrame =
        m_pWriteCursor->Frame() + static_cast<std::uint32_t>(std::max(frameCount, 0));
    // The write cursor stays where the next source frame belongs: it does not move back to a
    // target behind it.
    if (frameCount >= 0) {
        m_pWriteCursor->Assign(*m_pTargetCursor);
    }

    bool more = true;
    if (m_fedFrames >= m_totalFrames) {
        SilenceAfterEnd(endFrame, position);
        Wait(m_tailWaitMs);
        m_feedEnded.store(m_running.load());
        more = false;
    }
    if (m_pfnProgress != nullptr) {
        m_pfnProgress(m_fedFrames, m_totalFrames);
    }
    return more;
}

void CWavePlayer::SilenceAfterEnd(std::uint32_t endFrame, std::uint32_t position) {
    const std::int32_t ringFrames = m_bufferCount * m_pDevice->FramesPerBuffer();
    // Frames between the play position and the end that are still to be heard.
    const auto ahead = static_cast<std::int32_t>(endFrame - position);
    const std::int32_t unplayed = std::clamp(ahead, 0, ringFrames);
    m_pEndCursor->SetFrame(endFrame);
    m_pDevice->ClearFrames(static_cast<std::int32_t>(m_pEndCursor->Index()),
                           static_cast<std::int32_t>(m_pEndCursor->Offset()),
                           ringFrames - unplayed);
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
            // The tail wait covers the latency that the device reports; a sound server may
            // hold more, so the end of the source is played out rather than cut.
            pPlayer->StopDevice(true);
            break;
        }
    }
}
