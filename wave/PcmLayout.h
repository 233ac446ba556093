// The consistency of a PCM format record: the frame size that the record states and the byte rate
// that follows from it. A header whose fields disagree is never read in nor written out, since
// every later computation (frames, lengths, the widened or doubled format) builds on them.
//
// Threads: any.
#pragma once

#include <algorithm>
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

// Whether every form that the program makes of a file of this rate and depth has a byte rate
// that fits its 32-bit field: the file doubled into stereo at its own depth, and 16-bit stereo (a
// widened or narrowed, doubled play copy), 4 bytes a frame.
constexpr bool FitsEveryForm(std::uint32_t samplesPerSec, std::uint16_t bitsPerSample) {
    const std::uint64_t widestFrameBytes =
        2 * std::max<std::uint64_t>(BytesPerSample(bitsPerSample), 2);
    return std::uint64_t{samplesPerSec} * widestFrameBytes <=
           std::numeric_limits<std::uint32_t>::max();
}
