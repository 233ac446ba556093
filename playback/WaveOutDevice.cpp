#include "WaveOutDevice.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/MessageBox.h"

using platform::WAVEHDR;

CWaveOutDevice::CWaveOutDevice(std::uint32_t deviceId, const platform::WAVEFORMATEX* pFormat,
                               std::int32_t bufferBytes, std::int32_t bufferCount) {
    SetDeviceId(deviceId);
    SetFormat(pFormat);
    m_pPool.reset(new (std::nothrow) CWaveBufferPool(bufferBytes, bufferCount));
}

bool CWaveOutDevice::QueryFormat() {
    if (platform::waveOutOpen(nullptr, m_deviceId, m_pFormat, nullptr, 0,
                              platform::WAVE_FORMAT_QUERY) != platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox(
            "オーディオデバイスがないか、サポートされていないフォーマットです。");
        return false;
    }
    return true;
}

bool CWaveOutDevice::Open(platform::IWaveNotifyTarget* pTarget) {
    if (m_hWaveOut.load() != platform::kNoWaveOut) {
        platform::ShowMessageBox("再生デバイスはオープン済みです。");
        return false;
    }
    platform::HWAVEOUT hWaveOut = platform::kNoWaveOut;
    if (platform::waveOutOpen(&hWaveOut, m_deviceId, m_pFormat, pTarget, 0,
                              platform::CALLBACK_TARGET) != platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox("再生デバイスのオープンに失敗しました。");
        return false;
    }
    m_hWaveOut.store(hWaveOut);
    return true;
}

bool CWaveOutDevice::Close() {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.exchange(platform::kNoWaveOut);
    if (hWaveOut == platform::kNoWaveOut) {
        return true;
    }
    if (platform::waveOutClose(hWaveOut) != platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox("再生デバイスのクローズに失敗しました。");
        return false;
    }
    return true;
}

bool CWaveOutDevice::Prime() {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (!m_pPool || !m_pPool->IsReady() || hWaveOut == platform::kNoWaveOut) {
        return false;
    }
    m_pPool->ZeroBuffers();
    platform::waveOutPause(hWaveOut);
    for (std::int32_t i = 0; i < m_pPool->m_bufferCount; ++i) {
        WAVEHDR* pHeader = m_pPool->Header(i);
        pHeader->lpData = m_pPool->Buffer(i);
        pHeader->dwBufferLength = static_cast<std::uint32_t>(m_pPool->m_bufferBytes);
        pHeader->dwUser = 0;
        pHeader->dwFlags.store(0);
        pHeader->dwLoops = 0;
        if (platform::waveOutPrepareHeader(hWaveOut, pHeader, sizeof(WAVEHDR)) !=
            platform::MMSYSERR_NOERROR) {
            platform::ShowMessageBox("バッファが再生用に準備できませんでした。");
            return false;
        }
        if (platform::waveOutWrite(hWaveOut, pHeader, sizeof(WAVEHDR)) !=
            platform::MMSYSERR_NOERROR) {
            platform::ShowMessageBox("バッファを再生キューに登録できませんでした。");
            return false;
        }
    }
    return true;
}

void CWaveOutDevice::Restart() {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (hWaveOut != platform::kNoWaveOut) {
        platform::waveOutRestart(hWaveOut);
    }
}

bool CWaveOutDevice::Requeue(WAVEHDR* pHeader) {
    const std::uint32_t finished = platform::WHDR_PREPARED | platform::WHDR_DONE;
    if ((pHeader->dwFlags.load() & finished) != finished) {
        return false;
    }
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (platform::waveOutUnprepareHeader(hWaveOut, pHeader, sizeof(WAVEHDR)) !=
        platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox("再生用バッファの開放に失敗しました。");
    }
    pHeader->dwFlags.store(0);
    if (platform::waveOutPrepareHeader(hWaveOut, pHeader, sizeof(WAVEHDR)) !=
        platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox("バッファを再生用に準備できませんでした。");
    }
    if (platform::waveOutWrite(hWaveOut, pHeader, sizeof(WAVEHDR)) != platform::MMSYSERR_NOERROR) {
        platform::ShowMessageBox("バッファを再生キューに登録できませんでした。");
        return false;
    }
    return true;
}

void CWaveOutDevice::Drain() {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (hWaveOut != platform::kNoWaveOut) {
        platform::waveOutDrain(hWaveOut);
    }
}

void CWaveOutDevice::Reset() {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (!m_pPool || !m_pPool->IsReady() || hWaveOut == platform::kNoWaveOut) {
        return;
    }
    platform::waveOutReset(hWaveOut);
    const std::uint32_t finished = platform::WHDR_PREPARED | platform::WHDR_DONE;
    for (std::int32_t i = 0; i < m_pPool->m_bufferCount; ++i) {
        WAVEHDR* pHeader = m_pPool->Header(i);
        if ((pHeader->dwFlags.load() & finished) == finished) {
            platform::waveOutUnprepareHeader(hWaveOut, pHeader, sizeof(WAVEHDR));
        }
    }
}

std::int32_t CWaveOutDevice::FramesPerBuffer() const {
    return m_pPool->m_bufferBytes / static_cast<std::int32_t>(m_pFormat->nBlockAlign);
}

void CWaveOutDevice::WriteFrames(std::int32_t bufferIndex, std::int32_t frameOffset,
                                 const std::uint8_t* pSource, std::int32_t frameCount) {
    FillFrames(bufferIndex, frameOffset, pSource, frameCount);
}

void CWaveOutDevice::ClearFrames(std::int32_t bufferIndex, std::int32_t frameOffset,
                                 std::int32_t frameCount) {
    FillFrames(bufferIndex, frameOffset, nullptr, frameCount);
}

void CWaveOutDevice::FillFrames(std::int32_t bufferIndex, std::int32_t frameOffset,
                                const std::uint8_t* pSource, std::int32_t frameCount) {
    if (!m_pPool || !m_pPool->IsReady() || m_pPool->m_bufferCount < 1 || frameCount <= 0) {
        return;
    }
    const std::int32_t count = m_pPool->m_bufferCount;
    const std::int32_t framesPerBuffer = FramesPerBuffer();
    const std::size_t frameBytes = m_pFormat->nBlockAlign;
    bufferIndex = std::clamp(bufferIndex, 0, count - 1);
    frameOffset = std::clamp(frameOffset, 0, framesPerBuffer - 1);
    if (frameCount > count * framesPerBuffer) {
        frameCount = count * framesPerBuffer;
    }
    // Copies (or silences) n frames into buffer i from frame offset o on, and moves on in the
    // source.
    auto fill = [&](std::int32_t i, std::int32_t o, std::int32_t n) {
        std::uint8_t* pTarget = m_pPool->Buffer(i) + static_cast<std::size_t>(o) * frameBytes;
        const auto bytes = static_cast<std::size_t>(n) * frameBytes;
        if (pSource != nullptr) {
            std::memcpy(pTarget, pSource, bytes);
            pSource += bytes;
        } else {
            std::memset(pTarget, 0, bytes);
        }
    };
    const std::int32_t room = framesPerBuffer - frameOffset;
    if (frameCount <= room) {
        fill(bufferIndex, frameOffset, frameCount);
    } else {
        fill(bufferIndex, frameOffset, room);
        std::int32_t rest = frameCount - room;
        std::int32_t next = (bufferIndex + 1) % count;
        while (rest >= framesPerBuffer) {
            fill(next, 0, framesPerBuffer);
            next = (next + 1) % count;
            rest -= framesPerBuffer;
        }
        if (rest > 0) {
            fill(next, 0, rest);
        }
    }
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (hWaveOut != platform::kNoWaveOut) {
        platform::waveOutBuffersWritten(hWaveOut);
    }
}

std::uint32_t CWaveOutDevice::GetPosition() const {
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (hWaveOut == platform::kNoWaveOut) {
        return 0;
    }
    platform::MMTIME time;
    time.wType = platform::TIME_SAMPLES;
    platform::waveOutGetPosition(hWaveOut, &time, sizeof time);
    return time.sample;
}

std::uint32_t CWaveOutDevice::AskFrames(platform::MMRESULT (*ask)(platform::HWAVEOUT,
                                                                  std::uint32_t*)) const {
    std::uint32_t frames = 0;
    const platform::HWAVEOUT hWaveOut = m_hWaveOut.load();
    if (hWaveOut != platform::kNoWaveOut) {
        ask(hWaveOut, &frames);
    }
    return frames;
}

std::uint32_t CWaveOutDevice::GetBurst() const {
    return AskFrames(platform::waveOutGetBurst);
}

std::uint32_t CWaveOutDevice::GetLatency() const {
    return AskFrames(platform::waveOutGetLatency);
}

bool CWaveOutDevice::ResizeRing(std::int32_t bufferCount) {
    const std::int32_t bufferBytes = m_pPool ? m_pPool->m_bufferBytes : 0;
    m_pPool.reset();
    m_pPool.reset(new (std::nothrow) CWaveBufferPool(bufferBytes, bufferCount));
    return m_pPool && m_pPool->IsReady();
}
