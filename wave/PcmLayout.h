// The consistency of a PCM format record: the frame size that the record states and the byte rate
// that follows from it. A header whose fields disagree is never read in nor written out, since
// every later computation (frames, lengths, the widened or doubled format) builds on them.
//
// Threads: any.
#pragma once

#include <cstdint>
#include <limits>

// Bytes of one sample: 1 up to 8 bits, 2 up to 16, and so on.
constexpr std::uint32_t BytesPerSample(std::uint16_t bitsPerSample) {
    return (bitsPerSample + 7u) / 8u;
}

// Whether blockAlign is exactly channels × bytes per sample (and not 0), and the byte rate
// samplesPerSec × blockAlign fits the 32-bit field.
constexpr bool HasConsistentLayout(std::uint16_t channels, std::uint32_t samplesPerSec,
                                   std::uint16_t blockAlign, std::uint16_t bitsPerSample) {
    return blockAlign != 0 && blockAlign == channels * BytesPerSample(bitsPerSample) &&
           std::uint64_t{samplesPerSec} * blockAlign <= std::numeric_limits<std::uint32_t>::max();
}

// The byte rate of a consistent layout.
constexpr std::uint32_t ByteRateOf(std::uint32_t samplesPerSec, std::uint16_t blockAlign) {
    return static_cast<std::uint32_t>(std::uint64_t{samplesPerSec} * blockAlign);
}

// The widest form that the program makes of a file is 16-bit stereo (a widened, doubled play
// copy): 4 bytes a frame. A rate above this would wrap that form's byte rate round.
constexpr std::uint32_t kMaxSamplesPerSec = std::numeric_limits<std::uint32_t>::max() / 4;
