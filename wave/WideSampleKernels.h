// The sample arithmetic of samples wider than 16 bits (24-bit and 32-bit integers, 32-bit and
// 64-bit floats): the peak at full precision and the gain, which narrows them to 16-bit samples.
//
// The gain works in double precision on each sample in steps of a 16-bit sample (a 24-bit sample
// over 256, a 32-bit one over 65536, a float times 32768): it multiplies it by the factor, rounds
// the product to the nearest 2^-16 step, adds a triangular dither of up to one step either way
// (the sum of two independent uniform values of -0.5..0.5 step) and rounds to the nearest step,
// limited to -32768..32767. The dither does not depend on the order or the pieces in which
// samples are worked on: the sample with index i of a file (counted over all channels from the
// first) always gets TpdfDither(i), so a whole image and the same data in pieces give the same
// bytes, and so does every run. A product of exactly 0
// (digital silence, or a gain of 0 %) stays 0 without dither, and a NaN sample becomes 0. The
// loops are built for the baseline processor and for AVX2 (eight samples a step), with the same
// arithmetic, so both give the same bytes.
//
// Ownership, threads: as SampleKernels.h. The peak and the gain use a second thread on spans of
// kSplitBytes or more.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "wave/SampleKernels.h"

namespace samplekernels {

// The dither of the sample with index i in units of 2^-16 step: the sum of the two signed halves
// of a 32-bit hash of i (Wellons' lowbias32), each uniform over [-2^15, 2^15). The samples of a
// wave file are fewer than 2^32, so their indices fit the hash.
constexpr std::uint32_t kDitherSeed = 0x5EED'D17E;
inline int DitherUnits(std::uint64_t index) {
    std::uint32_t x = static_cast<std::uint32_t>(index) + kDitherSeed;
    x ^= x >> 16;
    x *= 0x7FEB'352D;
    x ^= x >> 15;
    x *= 0x846C'A68B;
    x ^= x >> 16;
    return static_cast<std::int16_t>(x) + static_cast<std::int16_t>(x >> 16);
}

// The dither of the sample with index i in steps: triangular over (-1, 1).
inline double TpdfDither(std::uint64_t index) {
    return DitherUnits(index) * 0x1p-16;
}

// The 16-bit sample that the product g (in steps) of the sample with index i becomes: g rounded to
// the nearest 2^-16 step (ties to even), plus the dither and a half step, rounded down and limited
// to -32768..32767. A product of 0, or NaN, gives 0 without dither. Rounding g first keeps the
// sum in integers, which the vector loops add without converting the dither.
inline std::int16_t Quantise(double g, std::uint64_t index) {
    if (!(g == g && g != 0.0)) {
        return 0;
    }
    // Limited to 2^20 steps either way, far beyond what saturates, g rounds to the nearest unit
    // when added to kRoundingMagic, whose neighbouring doubles lie 2^-16 apart.
    constexpr double kRoundingMagic = 0x1.8p36;
    g = g < -0x1p20 ? -0x1p20 : g > 0x1p20 ? 0x1p20 : g;
    const std::int64_t units = std::bit_cast<std::int64_t>(g + kRoundingMagic) -
                               std::bit_cast<std::int64_t>(kRoundingMagic);
    const std::int64_t y = (units + DitherUnits(index) + 0x8000) >> 16;
    return static_cast<std::int16_t>(y < -32768 ? -32768 : y > 32767 ? 32767 : y);
}

// The wide sample at p in steps of a 16-bit sample; exact for every encoding.
template <SampleEncoding kEncoding>
inline double StepsOf(const std::uint8_t* p) {
    if constexpr (kEncoding == SampleEncoding::kPcm24) {
        // The three bytes in the top of an int, shifted down with their sign.
        const auto raw = static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 |
                                                   static_cast<std::uint32_t>(p[1]) << 16 |
                                                   static_cast<std::uint32_t>(p[2]) << 24);
        return static_cast<double>(raw >> 8) * (1.0 / 256.0);
    } else if constexpr (kEncoding == SampleEncoding::kPcm32) {
        std::int32_t s;
        std::memcpy(&s, p, 4);
        return static_cast<double>(s) * (1.0 / 65536.0);
    } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
        float x;
        std::memcpy(&x, p, 4);
        return static_cast<double>(x) * 32768.0;
    } else {
        double x;
        std::memcpy(&x, p, 8);
        return x * 32768.0;
    }
}

// Calls work(std::integral_constant<SampleEncoding, e>) for the wide encoding e; nothing for 8
// and 16 bits.
template <typename Work>
void ForWideEncoding(SampleEncoding encoding, const Work& work) {
    switch (encoding) {
        case SampleEncoding::kPcm24:
            return work(std::integral_constant<SampleEncoding, SampleEncoding::kPcm24>());
        case SampleEncoding::kPcm32:
            return work(std::integral_constant<SampleEncoding, SampleEncoding::kPcm32>());
        case SampleEncoding::kFloat32:
            return work(std::integral_constant<SampleEncoding, SampleEncoding::kFloat32>());
        case SampleEncoding::kFloat64:
            return work(std::integral_constant<SampleEncoding, SampleEncoding::kFloat64>());
        case SampleEncoding::kPcm8:
        case SampleEncoding::kPcm16:
            return;
    }
}

// PeakOf for a wide encoding.
double PeakWide(std::span<const std::uint8_t> samples, SampleEncoding encoding);

// Writes to narrowed each whole sample of samples (of a wide encoding) scaled by factor and
// narrowed to 16 bits, the first being the sample with index firstIndex; works on
// min(samples.size() / BytesOf(encoding), narrowed.size() / 2) samples. Gives how many of them
// the gain clipped (ClipsRounded).
std::uint64_t NarrowWithGain(std::span<const std::uint8_t> samples, SampleEncoding encoding,
                             std::span<std::uint8_t> narrowed, double factor,
                             std::uint64_t firstIndex);

}  // namespace samplekernels
