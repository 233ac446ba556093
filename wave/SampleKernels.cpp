#include "wave/SampleKernels.h"

#include "wave/KernelSupport.h"
#include "wave/WideSampleKernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace samplekernels {
namespace {

// --- Peak ---------------------------------------------------------------------------------------

// The extremes are kept in the samples' own width, so that the loop compares whole vectors of
// them at once.
__attribute__((always_inline)) inline std::uint32_t Peak16Loop(const std::uint8_t* bytes,
                                                               std::size_t count) {
    std::int16_t low = 0;
    std::int16_t high = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, bytes + 2 * i, 2);
        low = std::min(low, s);
        high = std::max(high, s);
    }
    return static_cast<std::uint32_t>(std::max<int>(high, -low));
}

__attribute__((always_inline)) inline std::uint32_t Peak8Loop(const std::uint8_t* bytes,
                                                              std::size_t count) {
    std::uint8_t low = 128;
    std::uint8_t high = 128;
    for (std::size_t i = 0; i < count; ++i) {
        low = std::min(low, bytes[i]);
        high = std::max(high, bytes[i]);
    }
    return static_cast<std::uint32_t>(std::max(high - 128, 128 - low));
}

std::uint32_t Peak16Baseline(const std::uint8_t* bytes, std::size_t count) {
    return Peak16Loop(bytes, count);
}

SONORETTE_AVX2 std::uint32_t Peak16Avx2(const std::uint8_t* bytes, std::size_t count) {
    return Peak16Loop(bytes, count);
}

std::uint32_t Peak8Baseline(const std::uint8_t* bytes, std::size_t count) {
    return Peak8Loop(bytes, count);
}

SONORETTE_AVX2 std::uint32_t Peak8Avx2(const std::uint8_t* bytes, std::size_t count) {
    return Peak8Loop(bytes, count);
}

// --- Gain ---------------------------------------------------------------------------------------

// One sample scaled: the product in double, limited to the 16-bit range and truncated toward
// zero. Limiting before the truncation gives the same result as truncating first and then
// limiting, since both limits are whole numbers; a product out of range saturates instead of
// wrapping round to a full-scale spike of the other sign.
std::int16_t ScaleSample(std::int16_t s, double factor) {
    double product = s * factor;
    product = product < -32768.0 ? -32768.0 : product;
    product = product > 32767.0 ? 32767.0 : product;
    return static_cast<std::int16_t>(static_cast<int>(product));
}

void ScaleAnyFactor(const std::uint8_t* in, std::uint8_t* out, std::size_t count, double factor) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        s = ScaleSample(s, factor);
        std::memcpy(out + 2 * i, &s, 2);
    }
}

// For |factor| < 65536 every product lies strictly inside the int range, so it can be truncated
// first and then limited as an integer, which the vectoriser turns into a saturating pack; the
// result is ScaleSample's.
void ScaleInRangeBaseline(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                          double factor) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        int scaled = static_cast<int>(s * factor);
        scaled = scaled < -32768 ? -32768 : scaled;
        scaled = scaled > 32767 ? 32767 : scaled;
        s = static_cast<std::int16_t>(scaled);
        std::memcpy(out + 2 * i, &s, 2);
    }
}

#if defined(__x86_64__)
// Four samples at p scaled, as four 32-bit integers. Each sample is made a double by adding it,
// sign-extended, to the bits of 2^52 + 2^15 and subtracting that number again, which is exact and
// takes fewer cycles than the converting instruction; the product is the same IEEE double product
// as in ScaleSample, and its truncation fits an int for |factor| < 65536.
SONORETTE_AVX2 inline __m128i ScaleFourAvx2(const std::uint8_t* p, __m256d factor) {
    const __m256i offset = _mm256_set1_epi64x(0x4330000000008000);
    const __m256i wide =
        _mm256_cvtepi16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    const __m256d samples = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(wide, offset)),
                                          _mm256_castsi256_pd(offset));
    return _mm256_cvttpd_epi32(_mm256_mul_pd(samples, factor));
}

// Sixteen samples a step, all loaded before any is stored, so that out may be in; the saturating
// pack limits each to the 16-bit range.
SONORETTE_AVX2 void ScaleInRangeAvx2(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                                     double factor) {
    const __m256d f = _mm256_set1_pd(factor);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const std::uint8_t* p = in + 2 * i;
        const __m128i first = _mm_packs_epi32(ScaleFourAvx2(p, f), ScaleFourAvx2(p + 8, f));
        const __m128i second = _mm_packs_epi32(ScaleFourAvx2(p + 16, f), ScaleFourAvx2(p + 24, f));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                            _mm256_set_m128i(second, first));
    }
    ScaleInRangeBaseline(in + 2 * i, out + 2 * i, count - i, factor);
}
#else
void ScaleInRangeAvx2(const std::uint8_t* in, std::uint8_t* out, std::size_t count, double factor) {
    ScaleInRangeBaseline(in, out, count, factor);
}
#endif

void Scale(const std::uint8_t* in, std::uint8_t* out, std::size_t count, double factor) {
    if (std::fabs(factor) >= 65536.0) {
        ScaleAnyFactor(in, out, count, factor);
    } else if (HasAvx2()) {
        ScaleInRangeAvx2(in, out, count, factor);
    } else {
        ScaleInRangeBaseline(in, out, count, factor);
    }
}

// --- Clip count ---------------------------------------------------------------------------------

__attribute__((always_inline)) inline std::uint64_t CountOutsideLoop(const std::uint8_t* bytes,
                                                                     std::size_t count,
                                                                     std::int16_t low,
                                                                     std::int16_t high) {
    // A span holds fewer than 2^31 samples, and each counts once at most: 32 bits, which the
    // vectoriser keeps eight to a vector, are enough.
    std::uint32_t outside = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, bytes + 2 * i, 2);
        outside += static_cast<std::uint32_t>((s < low) | (s > high));
    }
    return outside;
}

std::uint64_t CountOutsideBaseline(const std::uint8_t* bytes, std::size_t count, std::int16_t low,
                                   std::int16_t high) {
    return CountOutsideLoop(bytes, count, low, high);
}

SONORETTE_AVX2 std::uint64_t CountOutsideAvx2(const std::uint8_t* bytes, std::size_t count,
                                              std::int16_t low, std::int16_t high) {
    return CountOutsideLoop(bytes, count, low, high);
}

// The sample nearest to 0 on the side of end (32767 or -32768) whose product clips, or one step
// past end when none does. The product moves away from 0 monotonically as the sample does, so
// the samples that clip lie beyond one bound on each side.
int FirstClippingSample(double factor, int end) {
    return static_cast<int>(FirstClippingKey(0, end, [factor](std::int64_t sample) {
        return ClipsTruncated(static_cast<double>(sample) * factor);
    }));
}

// --- Conversions ------------------------------------------------------------------------------

__attribute__((always_inline)) inline void Widen8To16Loop(const std::uint8_t* narrow,
                                                          std::uint8_t* wide, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto s = static_cast<std::int16_t>((narrow[i] - 128) * 256);
        std::memcpy(wide + 2 * i, &s, 2);
    }
}

void Widen8To16Baseline(const std::uint8_t* narrow, std::uint8_t* wide, std::size_t count) {
    Widen8To16Loop(narrow, wide, count);
}

SONORETTE_AVX2 void Widen8To16Avx2(const std::uint8_t* narrow, std::uint8_t* wide,
                                   std::size_t count) {
    Widen8To16Loop(narrow, wide, count);
}

}  // namespace

std::uint32_t PeakMagnitude(std::span<const std::uint8_t> samples, std::uint16_t bitsPerSample) {
    const bool sixteen = bitsPerSample == 16;
    const std::size_t unitBytes = sixteen ? 2 : 1;
    std::uint32_t halves[2] = {};
    InTwoHalves(samples.size() / unitBytes, unitBytes, [&](std::size_t first, std::size_t last) {
        const std::uint8_t* bytes = samples.data() + first * unitBytes;
        const std::size_t count = last - first;
        std::uint32_t magnitude = 0;
        if (sixteen) {
            magnitude = HasAvx2() ? Peak16Avx2(bytes, count) : Peak16Baseline(bytes, count);
        } else {
            magnitude = HasAvx2() ? Peak8Avx2(bytes, count) : Peak8Baseline(bytes, count);
        }
        halves[first == 0 ? 0 : 1] = magnitude;
    });
    return std::max(halves[0], halves[1]);
}

std::optional<SampleEncoding> EncodingOf(std::uint16_t formatTag, std::uint16_t bitsPerSample) {
    if (formatTag == kFormatFloat) {
        return bitsPerSample == 32   ? std::optional(SampleEncoding::kFloat32)
               : bitsPerSample == 64 ? std::optional(SampleEncoding::kFloat64)
                                     : std::nullopt;
    }
    if (formatTag != kFormatPcm) {
        return std::nullopt;
    }
    switch (bitsPerSample) {
        case 8:
            return SampleEncoding::kPcm8;
        case 16:
            return SampleEncoding::kPcm16;
        case 24:
            return SampleEncoding::kPcm24;
        case 32:
            return SampleEncoding::kPcm32;
        default:
            return std::nullopt;
    }
}

SampleEncoding AssumedEncoding(std::uint16_t formatTag, std::uint16_t bitsPerSample) {
    return EncodingOf(formatTag, bitsPerSample)
        .value_or(bitsPerSample == 16 ? SampleEncoding::kPcm16 : SampleEncoding::kPcm8);
}

double PeakOf(std::span<const std::uint8_t> samples, SampleEncoding encoding) {
    if (IsWide(encoding)) {
        return PeakWide(samples, encoding);
    }
    const std::uint16_t bits = encoding == SampleEncoding::kPcm16 ? 16 : 8;
    return PeakFraction(PeakMagnitude(samples, bits), bits);
}

double PeakFraction(std::uint32_t magnitude, std::uint16_t bitsPerSample) {
    return magnitude * (bitsPerSample == 16 ? 3.0517578125e-05 : 0.0078125);
}

void ScaleSamples16(std::span<const std::uint8_t> samples, std::span<std::uint8_t> scaled,
                    double factor) {
    const std::size_t bytes = std::min(samples.size(), scaled.size());
    const std::uint8_t* in = samples.data();
    std::uint8_t* out = scaled.data();
    InTwoHalves(bytes / 2, 2, [in, out, factor](std::size_t first, std::size_t last) {
        Scale(in + 2 * first, out + 2 * first, last - first, factor);
    });
    if (bytes % 2 != 0 && in != out) {
        out[bytes - 1] = in[bytes - 1];
    }
}

void ScaleSamples16(std::span<std::uint8_t> samples, double factor) {
    ScaleSamples16(samples, samples, factor);
}

std::uint64_t CountClipped16(std::span<const std::uint8_t> samples, double factor) {
    const int low = FirstClippingSample(factor, -32768) + 1;
    const int high = FirstClippingSample(factor, 32767) - 1;
    if (low <= -32768 && high >= 32767) {
        return 0;
    }
    const auto low16 = static_cast<std::int16_t>(low);
    const auto high16 = static_cast<std::int16_t>(high);
    const std::size_t count = samples.size() / 2;
    return HasAvx2() ? CountOutsideAvx2(samples.data(), count, low16, high16)
                     : CountOutsideBaseline(samples.data(), count, low16, high16);
}

void Widen8To16(std::span<const std::uint8_t> narrow, std::span<std::uint8_t> wide) {
    const std::size_t count = std::min(narrow.size(), wide.size() / 2);
    if (HasAvx2()) {
        Widen8To16Avx2(narrow.data(), wide.data(), count);
    } else {
        Widen8To16Baseline(narrow.data(), wide.data(), count);
    }
}

void Narrow16To8(std::span<const std::uint8_t> wide, std::span<std::uint8_t> narrow) {
    const std::size_t count = std::min(wide.size() / 2, narrow.size());
    for (std::size_t i = 0; i < count; ++i) {
        // The high byte of the little-endian sample, moved from signed to unsigned.
        narrow[i] = static_cast<std::uint8_t>(wide[2 * i + 1] + 128);
    }
}

void MonoToStereo8(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo) {
    const std::size_t count = std::min(mono.size(), stereo.size() / 2);
    for (std::size_t i = 0; i < count; ++i) {
        stereo[2 * i] = mono[i];
        stereo[2 * i + 1] = mono[i];
    }
}

void MonoToStereo16(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo) {
    const std::size_t count = std::min(mono.size() / 2, stereo.size() / 4);
    const std::uint8_t* in = mono.data();
    std::uint8_t* out = stereo.data();
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        const std::uint32_t frame = s | static_cast<std::uint32_t>(s) << 16;
        std::memcpy(out + 4 * i, &frame, 4);
    }
    // A trailing odd byte belongs to no sample; its place in the stereo block is silence.
    if (mono.size() % 2 != 0 && stereo.size() == 2 * mono.size()) {
        stereo[stereo.size() - 2] = 0;
        stereo[stereo.size() - 1] = 0;
    }
}

void MonoToStereoOf(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo,
                    std::size_t sampleBytes) {
    const std::size_t count = std::min(mono.size(), stereo.size() / 2) / sampleBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* sample = mono.data() + i * sampleBytes;
        std::memcpy(stereo.data() + 2 * i * sampleBytes, sample, sampleBytes);
        std::memcpy(stereo.data() + (2 * i + 1) * sampleBytes, sample, sampleBytes);
    }
    std::fill(stereo.begin() + static_cast<std::ptrdiff_t>(2 * count * sampleBytes), stereo.end(),
              std::uint8_t{0});
}

}  // namespace samplekernels
