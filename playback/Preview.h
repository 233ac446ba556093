// The preview of a wave image, built the same way wherever it is started (the dialog's Play, the
// command line's --play, the preview benchmark): a play copy with the gain applied and widened to
// 16-bit stereo, and a player for it with the program's ring and timing.
//
// Ownership: MakePlayCopy gives the caller a new copy. MakePreviewPlayer's player borrows the
// copy's samples and the format record, which must outlive it; it joins its feeder thread before
// it is destroyed.
// Threads: the thread that owns the notification target, which must hand the device's finished
// buffers to the player's OnBufferDone.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/WaveFormat.h"
#include "platform/WaveOut.h"
#include "playback/WavePlayer.h"
#include "wave/WaveData.h"

namespace preview {

constexpr std::int32_t kBufferBytes = 4096;
// The ring grows beyond this for high sample rates and for devices that take much at once.
constexpr std::int32_t kMinimumBufferCount = 8;
constexpr std::uint32_t kTailWaitMs = 100;
constexpr std::uint32_t kPollMs = 10;

// Whether an image can be previewed: it holds samples that the reader takes (8-bit to 32-bit
// PCM, 32-bit and 64-bit floats) in one or two channels, whose play copy has 4-byte frames.
bool CanPlay(const CWaveData& wave);

// The copy of the image that is heard with the gain factor (GainFactor of the percentage): gain
// applied (8-bit samples widened, wider ones narrowed with dither, and the user told so), mono
// doubled into stereo. Null when there is nothing to play: the image cannot be played, or memory
// ran out (the user has been told).
std::unique_ptr<CWaveData> MakePlayCopy(const CWaveData& wave, double factor);
// A percentage is not a factor: GainFactor(percent) is.
std::unique_ptr<CWaveData> MakePlayCopy(const CWaveData& wave, int percent) = delete;

// Fills *pFormat from the play copy and builds a player for it on the default device, not yet
// started. Null when memory ran out (the user has been told).
std::unique_ptr<CWavePlayer> MakePreviewPlayer(platform::IWaveNotifyTarget* pTarget,
                                               const CWaveData& playCopy,
                                               platform::WAVEFORMATEX* pFormat,
                                               PLAYPROGRESSPROC pfnProgress);

}  // namespace preview
