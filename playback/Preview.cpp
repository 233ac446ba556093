#include "playback/Preview.h"

#include <new>

#include "platform/MessageBox.h"

namespace preview {
namespace {

constexpr std::uint16_t kPlayFrameBytes = 4;
constexpr const char* kCannotStart = "再生を開始できませんでした。";

}  // namespace

bool CanPlay(const CWaveData& wave) {
    return wave.HasSamples() && (wave.m_channels == 1 || wave.m_channels == 2) &&
           samplekernels::EncodingOf(wave.m_formatTag, wave.m_bitsPerSample).has_value();
}

std::unique_ptr<CWaveData> MakePlayCopy(const CWaveData& wave, double factor) {
    if (!CanPlay(wave)) {
        return nullptr;
    }
    std::unique_ptr<CWaveData> pCopy;
    try {
        pCopy = std::make_unique<CWaveData>(wave);
    } catch (const std::bad_alloc&) {
        platform::ShowMessageBox(kCannotStart);
        return nullptr;
    }
    pCopy->ApplyGain(factor);
    if (pCopy->m_channels == 1) {
        pCopy->MonoToStereo();
    }
    // A copy whose block could not be had has said so already.
    if (!pCopy->HasSamples() || pCopy->m_blockAlign != kPlayFrameBytes) {
        return nullptr;
    }
    return pCopy;
}

std::unique_ptr<CWavePlayer> MakePreviewPlayer(platform::IWaveNotifyTarget* pTarget,
                                               const CWaveData& playCopy,
                                               platform::WAVEFORMATEX* pFormat,
                                               PLAYPROGRESSPROC pfnProgress) {
    *pFormat = playCopy.FormatRecord();
    const std::uint32_t frameCount = playCopy.m_sampleBytes / kPlayFrameBytes;
    const std::int32_t bufferCount =
        CWavePlayer::BufferCountFor(pFormat->nSamplesPerSec, pFormat->nBlockAlign, kBufferBytes,
                                    kMinimumBufferCount, kTailWaitMs, kPollMs);
    try {
        return std::make_unique<CWavePlayer>(pTarget, platform::WAVE_MAPPER, pFormat,
                                             playCopy.m_pSamples.get(), frameCount, kBufferBytes,
                                             bufferCount, kTailWaitMs, kPollMs, pfnProgress);
    } catch (const std::bad_alloc&) {
        platform::ShowMessageBox(kCannotStart);
        return nullptr;
    }
}

}  // namespace preview
