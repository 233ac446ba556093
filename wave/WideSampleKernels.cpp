#include "wave/WideSampleKernels.h"

#include <algorithm>
#include <bit>
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
        // The maximum takes its second operand where the first is a NaN, so a NaN counts 0 as in
        // PeakLoop. An infinity, which counts 0 too, is rare enough to measure the span again.
        const __m256 sign = _mm256_set1_ps(-0.0f);
        __m256 peaks = _mm256_setzero_ps();
        for (; i + 8 <= count; i += 8) {
            peaks = _mm256_max_ps(
                _mm256_andnot_ps(sign,
                                 _mm256_loadu_ps(reinterpret_cast<const float*>(bytes + 4 * i))),
                peaks);
        }
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, peaks);
        for (const float lane : lanes) {
            if (std::isinf(lane)) {
                return PeakLoop<kEncoding>(bytes, count);
            }
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
// The factor by which StepsOf multiplies a wide sample converted to double from its lane (see
// EightLanes) or from a double: a power of two, so that a sample times kStepsPerUnit * factor is
// the same product as StepsOf times factor, rounded once.
template <SampleEncoding kEncoding>
constexpr double kStepsPerUnit =
    kEncoding == SampleEncoding::kPcm24 || kEncoding == SampleEncoding::kPcm32 ? 1.0 / 65536.0
                                                                               : 32768.0;

// Eight samples at p in the 32-bit lanes of a vector: a 24-bit sample's three bytes to the top of
// its lane (the sample times 256, which kStepsPerUnit makes up for), a 32-bit integer or float as
// it is. The 24-bit load reads 28 bytes from p.
template <SampleEncoding kEncoding>
SONORETTE_AVX2 inline __m256i EightLanes(const std::uint8_t* p) {
    if constexpr (kEncoding == SampleEncoding::kPcm24) {
        const __m256i both = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
        return _mm256_shuffle_epi8(
            both, _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1,
                                   2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
    } else {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
}

// The sums of the two signed halves of the hashes of DitherUnits, for the eight samples whose
// indices plus kDitherSeed are in indices.
SONORETTE_AVX2 inline __m256i DitherUnitsOfEight(__m256i indices) {
    __m256i x = indices;
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
    x = _mm256_mullo_epi32(x, _mm256_set1_epi32(0x7FEB'352D));
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 15));
    x = _mm256_mullo_epi32(x, _mm256_set1_epi32(static_cast<int>(0x846C'A68Bu)));
    x = _mm256_xor_si256(x, _mm256_srli_epi32(x, 16));
    return _mm256_madd_epi16(x, _mm256_set1_epi16(1));
}

// Four 32-bit integers, in the low halves of 64-bit lanes, as doubles: with the top bit flipped
// and the exponent of 2^52 above them they are the doubles 2^52 + 2^31 + the integer.
SONORETTE_AVX2 inline __m256d IntegersAsDoubles(__m256i lowHalves) {
    const __m256i bits = _mm256_xor_si256(lowHalves, _mm256_set1_epi64x(0x4330'0000'8000'0000));
    return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(0x1p52 + 0x1p31));
}

// The low halves of the 64-bit lanes of first (samples 0, 1, 4, 5) and second (2, 3, 6, 7) in the
// order of the samples.
SONORETTE_AVX2 inline __m256i InSampleOrder(__m256i first, __m256i second) {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(first), _mm256_castsi256_ps(second), 0x88));
}

// The samples that clip under a factor, as the loop compares them: the integers' lanes (see
// EightLanes) above high and below low; the floats at or above high and at or below low, NaN
// standing for none.
template <SampleEncoding kEncoding>
struct ClipBounds {
    using Lane = std::conditional_t<
        kEncoding == SampleEncoding::kFloat32, float,
        std::conditional_t<kEncoding == SampleEncoding::kFloat64, double, std::int32_t>>;
    Lane high;
    Lane low;
};

// For a factor of 0 or more the product StepsOf(sample) * factor moves away from 0 as the sample
// does, so the samples that ClipsRounded lie beyond one bound on each side. They are found here
// once per span, with the product and the test of NarrowLoop, so that the loop only compares
// samples with them.
template <SampleEncoding kEncoding>
ClipBounds<kEncoding> ClipBoundsFor(double factor) {
    using Lane = typename ClipBounds<kEncoding>::Lane;
    const auto product = [factor](Lane lane) {
        return static_cast<double>(lane) * kStepsPerUnit<kEncoding> * factor;
    };
    if constexpr (std::is_floating_point_v<Lane>) {
        // Keys are the bits of the magnitudes, which are in the order of the magnitudes up to
        // infinity; a negative sample's product is the negative of its magnitude's.
        using Bits = std::conditional_t<sizeof(Lane) == 4, std::uint32_t, std::uint64_t>;
        constexpr auto kInfinity =
            static_cast<std::int64_t>(std::bit_cast<Bits>(std::numeric_limits<Lane>::infinity()));
        const auto magnitude = [](std::int64_t key) {
            return std::bit_cast<Lane>(static_cast<Bits>(key));
        };
        const std::int64_t above = FirstClippingKey(
            0, kInfinity, [&](std::int64_t key) { return product(magnitude(key)) >= 32767.5; });
        const std::int64_t below = FirstClippingKey(
            0, kInfinity, [&](std::int64_t key) { return -product(magnitude(key)) < -32768.5; });
        const Lane none = std::numeric_limits<Lane>::quiet_NaN();
        return {above > kInfinity ? none : magnitude(above),
                below > kInfinity ? none : -magnitude(below)};
    } else {
        const std::int64_t above = FirstClippingKey(
            0, std::numeric_limits<std::int32_t>::max(),
            [&](std::int64_t lane) { return product(static_cast<Lane>(lane)) >= 32767.5; });
        const std::int64_t below = FirstClippingKey(
            0, std::numeric_limits<std::int32_t>::min(),
            [&](std::int64_t lane) { return product(static_cast<Lane>(lane)) < -32768.5; });
        return {static_cast<Lane>(above - 1), static_cast<Lane>(below + 1)};
    }
}

// The loop below takes factors from kLeastFactor to kGreatestFactor. Within them the product of
// an integer or a 32-bit float is 0 only for a sample of 0, a float limited to FloatLimit() still
// saturates, and kStepsPerUnit * factor is exact, so that a sample times it is the product of
// StepsOf and the factor.
constexpr double kLeastFactor = 0x1p-100;
constexpr double kGreatestFactor = 0x1p15;

// The magnitude at which a float's product reaches 2^20 steps under the factor: limited to it, a
// float saturates as it would unlimited, and its rounded product stays exact in the loop's sum.
template <typename Float>
Float FloatLimit(double factor) {
    return static_cast<Float>(0x1p20 / (32768.0 * factor));
}

// NarrowLoop eight samples a step, for factors from kLeastFactor to kGreatestFactor; the rest, and
// other factors, by NarrowLoop. Each product is rounded to units of 2^-16 step by the addition of
// a double whose neighbours are that far apart, and its bits, the dither and a half step are then
// added as 64-bit integers: the sum over 2^16, in the low half of the lane once shifted, is the
// result that Quantise gives. The samples are taken in the order 0, 1, 4, 5 and 2, 3, 6, 7, which
// the widening of the dither to 64 bits (interleaving with zeros within each 128-bit half) gives,
// and which the gathering of the results puts back in order.
template <SampleEncoding kEncoding>
SONORETTE_AVX2 std::uint64_t NarrowAvx2(const std::uint8_t* in, std::uint8_t* out,
                                        std::size_t count, double factor,
                                        std::uint64_t firstIndex) {
    constexpr bool kInteger =
        kEncoding == SampleEncoding::kPcm24 || kEncoding == SampleEncoding::kPcm32;
    constexpr std::size_t kBytes = BytesOf(kEncoding);
    // The 24-bit loads read 16 bytes for 12: two samples of room past each step.
    constexpr std::size_t kRoom = kEncoding == SampleEncoding::kPcm24 ? 2 : 0;
    std::size_t i = 0;
    std::uint64_t clipped = 0;
    if (factor >= kLeastFactor && factor <= kGreatestFactor) {
        const ClipBounds<kEncoding> bounds = ClipBoundsFor<kEncoding>(factor);
        const __m256d scale = _mm256_set1_pd(kStepsPerUnit<kEncoding> * factor);
        // Rounds to units and leaves room for the offset below: 1.5 * 2^36 less 2^16 units.
        const __m256d magic = _mm256_set1_pd(0x1.8p36 - 1.0);
        // The dither's units made positive, so that they widen with zeros (2^16), and the half.
        const __m256i offset = _mm256_set1_epi32(0x1'0000 + 0x8000);
        __m256i indices = _mm256_add_epi32(
            _mm256_set1_epi32(
                static_cast<int>(static_cast<std::uint32_t>(firstIndex) + kDitherSeed)),
            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        // Each lane counts down by one for each of its samples that clips (a compare gives all
        // ones); a span holds fewer than 2^32 samples, so a lane of 32 bits does not wrap round.
        __m256i counts = _mm256_setzero_si256();
        for (; i + 8 + kRoom <= count; i += 8) {
            const std::uint8_t* p = in + kBytes * i;
            __m256i units = DitherUnitsOfEight(indices);
            indices = _mm256_add_epi32(indices, _mm256_set1_epi32(8));
            // The samples as doubles still to be multiplied by scale, in the order above.
            __m256d first;
            __m256d second;
            if constexpr (kInteger) {
                const __m256i lanes = EightLanes<kEncoding>(p);
                counts = _mm256_add_epi32(
                    counts, _mm256_cmpgt_epi32(lanes, _mm256_set1_epi32(bounds.high)));
                counts = _mm256_add_epi32(counts,
                                          _mm256_cmpgt_epi32(_mm256_set1_epi32(bounds.low), lanes));
                // A sample of 0 takes no dither: its product is exactly 0.
                units =
                    _mm256_andnot_si256(_mm256_cmpeq_epi32(lanes, _mm256_setzero_si256()), units);
                first = IntegersAsDoubles(_mm256_unpacklo_epi32(lanes, _mm256_setzero_si256()));
                second = IntegersAsDoubles(_mm256_unpackhi_epi32(lanes, _mm256_setzero_si256()));
            } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
                const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
                counts = _mm256_add_epi32(counts, _mm256_castps_si256(_mm256_cmp_ps(
                                                      x, _mm256_set1_ps(bounds.high), _CMP_GE_OQ)));
                counts = _mm256_add_epi32(counts, _mm256_castps_si256(_mm256_cmp_ps(
                                                      x, _mm256_set1_ps(bounds.low), _CMP_LE_OQ)));
                // A NaN becomes 0; neither it nor 0 takes dither. An infinity becomes the limit.
                const __m256 live = _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_NEQ_OQ);
                const __m256 number = _mm256_and_ps(x, live);
                units = _mm256_and_si256(_mm256_castps_si256(live), units);
                const __m256 limit = _mm256_set1_ps(FloatLimit<float>(factor));
                const __m256 limited = _mm256_max_ps(_mm256_min_ps(number, limit),
                                                     _mm256_sub_ps(_mm256_setzero_ps(), limit));
                const __m128 low = _mm256_castps256_ps128(limited);
                const __m128 high = _mm256_extractf128_ps(limited, 1);
                first = _mm256_cvtps_pd(_mm_movelh_ps(low, high));
                second = _mm256_cvtps_pd(_mm_movehl_ps(high, low));
            } else {
                // Samples 0, 1, 4, 5 and 2, 3, 6, 7 loaded as such.
                const auto* d = reinterpret_cast<const double*>(p);
                const __m256d limit = _mm256_set1_pd(FloatLimit<double>(factor));
                const __m256d negativeLimit = _mm256_sub_pd(_mm256_setzero_pd(), limit);
                __m256i zero[2];
                __m256i beyond[2];
                __m256d limited[2];
                for (int part = 0; part < 2; ++part) {
                    const __m256d x =
                        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(d + 2 * part)),
                                             _mm_loadu_pd(d + 4 + 2 * part), 1);
                    beyond[part] = _mm256_castpd_si256(
                        _mm256_or_pd(_mm256_cmp_pd(x, _mm256_set1_pd(bounds.high), _CMP_GE_OQ),
                                     _mm256_cmp_pd(x, _mm256_set1_pd(bounds.low), _CMP_LE_OQ)));
                    const __m256d number = _mm256_andnot_pd(_mm256_cmp_pd(x, x, _CMP_UNORD_Q), x);
                    limited[part] = _mm256_max_pd(_mm256_min_pd(number, limit), negativeLimit);
                    // The product of a double that is not 0 may still come to 0.
                    zero[part] = _mm256_castpd_si256(_mm256_cmp_pd(
                        _mm256_mul_pd(limited[part], scale), _mm256_setzero_pd(), _CMP_EQ_OQ));
                }
                counts = _mm256_add_epi32(counts, InSampleOrder(beyond[0], beyond[1]));
                units = _mm256_andnot_si256(InSampleOrder(zero[0], zero[1]), units);
                first = limited[0];
                second = limited[1];
            }
            units = _mm256_add_epi32(units, offset);
            const __m256i sumFirst = _mm256_add_epi64(
                _mm256_castpd_si256(_mm256_add_pd(_mm256_mul_pd(first, scale), magic)),
                _mm256_unpacklo_epi32(units, _mm256_setzero_si256()));
            const __m256i sumSecond = _mm256_add_epi64(
                _mm256_castpd_si256(_mm256_add_pd(_mm256_mul_pd(second, scale), magic)),
                _mm256_unpackhi_epi32(units, _mm256_setzero_si256()));
            // The low halves of the shifted sums, in the order of the samples; the pack to 16 bits
            // saturates them as Quantise's limits do.
            const __m256i results =
                InSampleOrder(_mm256_srli_epi64(sumFirst, 16), _mm256_srli_epi64(sumSecond, 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                             _mm_packs_epi32(_mm256_castsi256_si128(results),
                                             _mm256_extracti128_si256(results, 1)));
        }
        alignas(32) std::uint32_t lanesCounted[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanesCounted), counts);
        for (const std::uint32_t lane : lanesCounted) {
            clipped += std::uint32_t{0} - lane;
        }
    }
    return clipped +
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
    if (factor == 0.0) {
        // Every product is 0, or NaN for a NaN or an infinity: silence without dither.
        std::fill_n(narrowed.data(), 2 * count, std::uint8_t{0});
        return 0;
    }
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
