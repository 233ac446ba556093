#include "wave/WideSampleKernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>

#include "wave/KernelSupport.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace samplekernels {
namespace {

// The largest magnitude in steps of a 16-bit sample. Integers keep their extremes as integers,
// so that the loop compares whole vectors of them.
template <SampleEncoding kEncoding>
__attribute__((always_inline)) inline double PeakLoop(const std::uint8_t* bytes,
                                                      std::size_t count) {
    constexpr std::size_t kBytes = BytesOf(kEncoding);
    if constexpr (kEncoding == SampleEncoding::kFloat32 || kEncoding == SampleEncoding::kFloat64) {
        // In the samples' own precision, so that the loop compares whole vectors of them; a NaN
        // or an infinity counts 0.
        using Float = std::conditional_t<kEncoding == SampleEncoding::kFloat32, float, double>;
        // The largest magnitude whose steps (times 32768, in double) are finite: a double beyond it
        // is taken as infinite, as the gain takes it.
        constexpr auto kLargest = static_cast<Float>(
            std::is_same_v<Float, float> ? std::numeric_limits<float>::max()
                                         : std::numeric_limits<double>::max() / 32768.0);
        Float peak = 0;
        for (std::size_t i = 0; i < count; ++i) {
            Float x;
            std::memcpy(&x, bytes + kBytes * i, kBytes);
            const Float magnitude = std::fabs(x);
            peak = std::max(peak, magnitude <= kLargest ? magnitude : Float{0});
        }
        return static_cast<double>(peak) * 32768.0;
    } else {
        std::int32_t low = 0;
        std::int32_t high = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t s;
            if constexpr (kEncoding == SampleEncoding::kPcm24) {
                s = static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[3 * i]) << 8 |
                                              static_cast<std::uint32_t>(bytes[3 * i + 1]) << 16 |
                                              static_cast<std::uint32_t>(bytes[3 * i + 2]) << 24);
            } else {
                std::memcpy(&s, bytes + 4 * i, 4);
            }
            low = std::min(low, s);
            high = std::max(high, s);
        }
        // The 24-bit samples stand in the top of the int, like the 32-bit ones.
        const std::int64_t magnitude = std::max<std::int64_t>(high, -std::int64_t{low});
        return static_cast<double>(magnitude) * (1.0 / 65536.0);
    }
}

template <SampleEncoding kEncoding>
double PeakBaseline(const std::uint8_t* bytes, std::size_t count) {
    return PeakLoop<kEncoding>(bytes, count);
}

#if defined(__x86_64__)
// PeakLoop of the 24-bit and 32-bit float samples eight at a step, written out since the
// compiler leaves those loops scalar (the three-byte loads; a floating-point maximum, which it
// does not reorder); the rest, and the other encodings, by PeakLoop. The largest magnitude is the
// same whatever the order in which the samples are compared.
template <SampleEncoding kEncoding>
SONORETTE_AVX2 double PeakAvx2(const std::uint8_t* bytes, std::size_t count) {
    std::size_t i = 0;
    double peak = 0.0;
    if constexpr (kEncoding == SampleEncoding::kPcm24) {
        // Each sample's three bytes to the top of a 32-bit lane, as PeakLoop puts them; the
        // second load reads 16 bytes for 12, two samples of room past each step.
        const __m256i spread =
            _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2, -1,
                             3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
        __m256i low = _mm256_setzero_si256();
        __m256i high = _mm256_setzero_si256();
        for (; i + 10 <= count; i += 8) {
            const std::uint8_t* p = bytes + 3 * i;
            const __m256i both = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
            const __m256i s = _mm256_shuffle_epi8(both, spread);
            low = _mm256_min_epi32(low, s);
            high = _mm256_max_epi32(high, s);
        }
        alignas(32) std::int32_t lows[8];
        alignas(32) std::int32_t highs[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lows), low);
        _mm256_store_si256(reinterpret_cast<__m256i*>(highs), high);
        for (int lane = 0; lane < 8; ++lane) {
            const std::int64_t magnitude =
                std::max<std::int64_t>(highs[lane], -std::int64_t{lows[lane]});
            peak = std::max(peak, static_cast<double>(magnitude) * (1.0 / 65536.0));
        }
    } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
        // A NaN or a magnitude beyond the largest float (an infinity) counts 0, as in PeakLoop.
        const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
        const __m256 sign = _mm256_set1_ps(-0.0f);
        __m256 peaks = _mm256_setzero_ps();
        for (; i + 8 <= count; i += 8) {
            const __m256 magnitude = _mm256_andnot_ps(
                sign, _mm256_loadu_ps(reinterpret_cast<const float*>(bytes + 4 * i)));
            peaks = _mm256_max_ps(
                peaks, _mm256_and_ps(magnitude, _mm256_cmp_ps(magnitude, largest, _CMP_LE_OQ)));
        }
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, peaks);
        for (const float lane : lanes) {
            peak = std::max(peak, static_cast<double>(lane) * 32768.0);
        }
    }
    return std::max(peak, PeakLoop<kEncoding>(bytes + BytesOf(kEncoding) * i, count - i));
}
#else
template <SampleEncoding kEncoding>
double PeakAvx2(const std::uint8_t* bytes, std::size_t count) {
    return PeakLoop<kEncoding>(bytes, count);
}
#endif

template <SampleEncoding kEncoding>
std::uint64_t NarrowLoop(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                         double factor, std::uint64_t firstIndex) {
    constexpr std::size_t kBytes = BytesOf(kEncoding);
    std::uint64_t clipped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double g = StepsOf<kEncoding>(in + kBytes * i) * factor;
        clipped += static_cast<std::uint64_t>(ClipsRounded(g));
        const std::int16_t s = Quantise(g, firstIndex + i);
        std::memcpy(out + 2 * i, &s, 2);
    }
    return clipped;
}

#if defined(__x86_64__)
// The factor by which StepsOf multiplies a wide sample converted to double by FourUnits.
template <SampleEncoding kEncoding>
constexpr double kStepsPerUnit =
    kEncoding == SampleEncoding::kPcm24 || kEncoding == SampleEncoding::kPcm32 ? 1.0 / 65536.0
                                                                               : 32768.0;

// Four wide samples at p converted to double, still to be multiplied by kStepsPerUnit. The
// 24-bit load reads 16 bytes from p.
template <SampleEncoding kEncoding>
SONORETTE_AVX2 inline __m256d FourUnits(const std::uint8_t* p) {
    if constexpr (kEncoding == SampleEncoding::kPcm24) {
        // Each sample's three bytes to the top of a 32-bit lane: the sample times 256, which the
        // step size makes up for.
        return _mm256_cvtepi32_pd(
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                             _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11)));
    } else if constexpr (kEncoding == SampleEncoding::kPcm32) {
        return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
        return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(p)));
    } else {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    }
}

// TpdfDither of the samples whose indices plus kDitherSeed are in indices, as two vectors of four.
SONORETTE_AVX2 inline void DitherOfEight(__m256i indices, __m256d* low, __m256d* high) {
    __m256i x = indices;
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
    x = _mm256_mullo_epi32(x, _mm256_set1_epi32(0x7FEB'352D));
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 15));
    x = _mm256_mullo_epi32(x, _mm256_set1_epi32(static_cast<int>(0x846C'A68Bu)));
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
    // The two signed halves of each lane multiplied by 1 and added.
    const __m256i sum = _mm256_madd_epi16(x, _mm256_set1_epi16(1));
    // Each sum, widened to 64 bits, added to the bits of 1.5 * 2^36, whose doubles are 2^-16
    // apart: the double sum * 2^-16 above it, from which it is taken exactly. Cheaper than a
    // conversion and a product.
    const __m256d magic = _mm256_set1_pd(0x1.8p36);
    const __m256i magicBits = _mm256_castpd_si256(magic);
    *low = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(
                             magicBits, _mm256_cvtepi32_epi64(_mm256_castsi256_si128(sum)))),
                         magic);
    *high = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(
                              magicBits, _mm256_cvtepi32_epi64(_mm256_extracti128_si256(sum, 1)))),
                          magic);
}

// Quantise of four products, counting those that ClipsRounded in the lanes of *clipped (each
// lane counts down by one, the compare giving all ones).
template <SampleEncoding kEncoding>
SONORETTE_AVX2 inline __m128i QuantiseFour(__m256d g, __m256d dither, __m256i* clipped) {
    const __m256d beyond = _mm256_or_pd(_mm256_cmp_pd(g, _mm256_set1_pd(32767.5), _CMP_GE_OQ),
                                        _mm256_cmp_pd(g, _mm256_set1_pd(-32768.5), _CMP_LT_OQ));
    *clipped = _mm256_add_epi64(*clipped, _mm256_castpd_si256(beyond));
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d live = _mm256_cmp_pd(g, _mm256_setzero_pd(), _CMP_NEQ_OQ);
    __m256d y;
    if constexpr (kEncoding == SampleEncoding::kPcm24 || kEncoding == SampleEncoding::kPcm32) {
        // No NaN here: a product of 0 (or -0) plus a dither of +0 plus a half is the half.
        y = _mm256_add_pd(_mm256_add_pd(g, _mm256_and_pd(dither, live)), half);
    } else {
        y = _mm256_blendv_pd(half, _mm256_add_pd(_mm256_add_pd(g, dither), half), live);
    }
    // Only the top is limited here: whatever lies below -32768, -infinity too, converts to
    // -32768 or less (the conversion's INT_MIN for what int cannot hold), which the pack to 16
    // bits saturates to -32768 as Quantise's limit does.
    y = _mm256_min_pd(y, _mm256_set1_pd(32767.0));
    return _mm256_cvttpd_epi32(_mm256_floor_pd(y));
}

// NarrowLoop eight samples a step, with the same IEEE operations; the rest by NarrowLoop.
template <SampleEncoding kEncoding>
SONORETTE_AVX2 std::uint64_t NarrowAvx2(const std::uint8_t* in, std::uint8_t* out,
                                        std::size_t count, double factor,
                                        std::uint64_t firstIndex) {
    constexpr std::size_t kBytes = BytesOf(kEncoding);
    // The 24-bit loads read 16 bytes for 12: two samples of room past each step.
    constexpr std::size_t kRoom = kEncoding == SampleEncoding::kPcm24 ? 2 : 0;
    const __m256d f = _mm256_set1_pd(factor);
    const __m256d unit = _mm256_set1_pd(kStepsPerUnit<kEncoding>);
    __m256i indices = _mm256_add_epi32(
        _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(firstIndex) + kDitherSeed)),
        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256i clipped = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 8 + kRoom <= count; i += 8) {
        __m256d ditherLow;
        __m256d ditherHigh;
        DitherOfEight(indices, &ditherLow, &ditherHigh);
        indices = _mm256_add_epi32(indices, _mm256_set1_epi32(8));
        const __m256d low = _mm256_mul_pd(FourUnits<kEncoding>(in + kBytes * i), unit);
        const __m256d high = _mm256_mul_pd(FourUnits<kEncoding>(in + kBytes * (i + 4)), unit);
        const __m128i first = QuantiseFour<kEncoding>(_mm256_mul_pd(low, f), ditherLow, &clipped);
        const __m128i second =
            QuantiseFour<kEncoding>(_mm256_mul_pd(high, f), ditherHigh, &clipped);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(first, second));
    }
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), clipped);
    const auto counted = static_cast<std::uint64_t>(-(lanes[0] + lanes[1] + lanes[2] + lanes[3]));
    return counted +
           NarrowLoop<kEncoding>(in + kBytes * i, out + 2 * i, count - i, factor, firstIndex + i);
}
#else
template <SampleEncoding kEncoding>
std::uint64_t NarrowAvx2(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                         double factor, std::uint64_t firstIndex) {
    return NarrowLoop<kEncoding>(in, out, count, factor, firstIndex);
}
#endif

}  // namespace

double PeakWide(std::span<const std::uint8_t> samples, SampleEncoding encoding) {
    const std::size_t unitBytes = BytesOf(encoding);
    double halves[2] = {};
    ForWideEncoding(encoding, [&](auto kind) {
        InTwoHalves(
            samples.size() / unitBytes, unitBytes, [&](std::size_t first, std::size_t last) {
                const std::uint8_t* bytes = samples.data() + first * unitBytes;
                const std::size_t n = last - first;
                halves[first == 0 ? 0 : 1] =
                    HasAvx2() ? PeakAvx2<kind.value>(bytes, n) : PeakBaseline<kind.value>(bytes, n);
            });
    });
    // In steps of a 16-bit sample, whose full scale is 32768.
    return std::max(halves[0], halves[1]) * (1.0 / 32768.0);
}

std::uint64_t NarrowWithGain(std::span<const std::uint8_t> samples, SampleEncoding encoding,
                             std::span<std::uint8_t> narrowed, double factor,
                             std::uint64_t firstIndex) {
    const std::size_t unitBytes = BytesOf(encoding);
    const std::size_t count = std::min(samples.size() / unitBytes, narrowed.size() / 2);
    std::uint64_t halves[2] = {};
    ForWideEncoding(encoding, [&](auto kind) {
        InTwoHalves(count, unitBytes, [&](std::size_t first, std::size_t last) {
            const std::uint8_t* in = samples.data() + first * unitBytes;
            std::uint8_t* out = narrowed.data() + 2 * first;
            const std::size_t n = last - first;
            halves[first == 0 ? 0 : 1] =
                HasAvx2() ? NarrowAvx2<kind.value>(in, out, n, factor, firstIndex + first)
                          : NarrowLoop<kind.value>(in, out, n, factor, firstIndex + first);
        });
    });
    return halves[0] + halves[1];
}

}  // namespace samplekernels
