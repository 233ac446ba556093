#include "wave/SampleLevels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "wave/KernelSupport.h"
#include "wave/WaveData.h"
#include "wave/WideSampleKernels.h"

namespace {

namespace sk = samplekernels;

constexpr int kNever = CSampleLevels::kMaxPercent + 1;
using Bins = std::array<std::uint64_t, kNever + 1>;

const std::array<double, kNever>& Factors() {
    static const std::array<double, kNever> factors = [] {
        std::array<double, kNever> made{};
        for (int p = 0; p < kNever; ++p) {
            made[static_cast<std::size_t>(p)] = GainFactor(p);
        }
        return made;
    }();
    return factors;
}

// The smallest percentage whose gain clips a sample of v steps, or kNever. The product grows with
// the percentage, so the first clipping percentage is found from an estimate by a step or two.
template <bool kRounded>
int FirstClipPercent(double v) {
    const auto clips = [v](int percent) {
        const double g = v * Factors()[static_cast<std::size_t>(percent)];
        return kRounded ? sk::ClipsRounded(g) : sk::ClipsTruncated(g);
    };
    if (!clips(CSampleLevels::kMaxPercent)) {
        return kNever;
    }
    const double estimate = (kRounded ? 32767.5 : 32768.0) / std::fabs(v) * 100.0;
    int percent = estimate >= CSampleLevels::kMaxPercent ? CSampleLevels::kMaxPercent
                                                         : std::max(1, static_cast<int>(estimate));
    while (percent > 1 && clips(percent - 1)) {
        --percent;
    }
    while (!clips(percent)) {
        ++percent;
    }
    return percent;
}

// 8-bit and 16-bit samples: a count of each value, then each value placed once. Two tables, taken
// in turn, let a run of equal samples go on without waiting for the previous count.
template <typename Sample>
void MeasureByValue(std::span<const std::uint8_t> samples, double* peak, Bins* bins) {
    constexpr std::size_t kValues = std::size_t{1} << (8 * sizeof(Sample));
    const std::size_t count = samples.size() / sizeof(Sample);
    std::vector<std::uint32_t> halves[2];
    sk::InTwoHalves(count, sizeof(Sample), [&](std::size_t first, std::size_t last) {
        std::vector<std::uint32_t>& table = halves[first == 0 ? 0 : 1];
        table.assign(2 * kValues, 0);
        std::uint32_t* even = table.data();
        std::uint32_t* odd = table.data() + kValues;
        const std::uint8_t* bytes = samples.data() + first * sizeof(Sample);
        const std::size_t n = last - first;
        std::size_t i = 0;
        for (; i + 2 <= n; i += 2) {
            Sample a;
            Sample b;
            std::memcpy(&a, bytes + i * sizeof(Sample), sizeof(Sample));
            std::memcpy(&b, bytes + (i + 1) * sizeof(Sample), sizeof(Sample));
            ++even[a];
            ++odd[b];
        }
        if (i < n) {
            Sample a;
            std::memcpy(&a, bytes + i * sizeof(Sample), sizeof(Sample));
            ++even[a];
        }
    });
    std::uint32_t magnitude = 0;
    for (std::size_t value = 0; value < kValues; ++value) {
        std::uint64_t n = 0;
        for (const std::vector<std::uint32_t>& table : halves) {
            if (!table.empty()) {
                n += std::uint64_t{table[value]} + table[kValues + value];
            }
        }
        if (n == 0) {
            continue;
        }
        // The 16-bit sample that the value is, or that an 8-bit one is widened to.
        const int steps = sizeof(Sample) == 2 ? static_cast<std::int16_t>(value)
                                              : (static_cast<int>(value) - 128) * 256;
        const int percent = FirstClipPercent<false>(steps);
        (*bins)[static_cast<std::size_t>(percent)] += n;
        magnitude = std::max(magnitude, static_cast<std::uint32_t>(std::abs(steps)));
    }
    const std::uint16_t bits = sizeof(Sample) == 2 ? 16 : 8;
    *peak = sk::PeakFraction(sizeof(Sample) == 2 ? magnitude : magnitude / 256, bits);
}

// 64-bit floats: each sample placed on its own.
void MeasureEachSample(std::span<const std::uint8_t> samples, Bins* bins) {
    constexpr auto kEncoding = sk::SampleEncoding::kFloat64;
    constexpr std::size_t kBytes = sk::BytesOf(kEncoding);
    Bins halves[2] = {};
    sk::InTwoHalves(samples.size() / kBytes, kBytes, [&](std::size_t first, std::size_t last) {
        Bins& half = halves[first == 0 ? 0 : 1];
        for (std::size_t i = first; i < last; ++i) {
            const double v = sk::StepsOf<kEncoding>(samples.data() + kBytes * i);
            ++half[static_cast<std::size_t>(FirstClipPercent<true>(v))];
        }
    });
    for (std::size_t p = 0; p < bins->size(); ++p) {
        (*bins)[p] += halves[0][p] + halves[1][p];
    }
}

// The ranges of values by which MeasureByRange counts 24-bit and 32-bit integers: the 65536 of
// the top 16 bits of a sample in the top of an int.
template <sk::SampleEncoding kEncoding>
struct IntegerRanges {
    static constexpr std::size_t kCount = std::size_t{1} << 16;

    static std::size_t Of(const std::uint8_t* p) {
        if constexpr (kEncoding == sk::SampleEncoding::kPcm24) {
            return std::uint32_t{p[1]} | std::uint32_t{p[2] ^ 0x80u} << 8;
        } else {
            return std::uint32_t{p[2]} | std::uint32_t{p[3] ^ 0x80u} << 8;
        }
    }
    // The lowest and the highest value of the range, in steps.
    static std::array<double, 2> Ends(std::size_t range) {
        const auto top =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(range << 16) ^ 0x8000'0000u);
        return {top * (1.0 / 65536.0), (top + 0xFFFF) * (1.0 / 65536.0)};
    }
};

// The ranges of values by which MeasureByRange counts 32-bit floats: magnitudes from 2^-4 to 2^7
// by the top 12 bits of their 23-bit fractions, of either sign; apart from them, one range for
// all that is nearer 0 (never clipped at up to 1000 %), one for all that is farther from 0 on
// either side (infinities too: clipped from 1 % on), and one for the NaNs (never clipped).
struct FloatRanges {
    static constexpr std::uint32_t kNear = 0x3D80'0000;  // 2^-4
    static constexpr std::uint32_t kFar = 0x4300'0000;   // 2^7
    static constexpr std::size_t kPerSign = (kFar - kNear) >> 11;
    enum : std::size_t { kNearer, kFarPositive, kFarNegative, kNaN, kFirstFine };
    static constexpr std::size_t kCount = kFirstFine + 2 * kPerSign;

    static std::size_t Of(const std::uint8_t* p) {
        std::uint32_t bits;
        std::memcpy(&bits, p, 4);
        const std::uint32_t magnitude = bits & 0x7FFF'FFFF;
        const bool negative = bits >> 31 != 0;
        if (magnitude < kNear) {
            return kNearer;
        }
        if (magnitude >= kFar) {
            return magnitude > 0x7F80'0000 ? kNaN : negative ? kFarNegative : kFarPositive;
        }
        return kFirstFine + (negative ? kPerSign : 0) + ((magnitude - kNear) >> 11);
    }
    static std::array<double, 2> Ends(std::size_t range) {
        const auto steps = [](std::uint32_t bits) {
            return static_cast<double>(std::bit_cast<float>(bits)) * 32768.0;
        };
        switch (range) {
            case kNearer:
                return {0.0, 0.0};
            case kFarPositive:
                return {steps(kFar), steps(0x7F80'0000)};
            case kFarNegative:
                return {-steps(kFar), -steps(0x7F80'0000)};
            case kNaN:
                return {steps(0x7FC0'0000), steps(0x7FC0'0000)};
            default:
                break;
        }
        const std::size_t fine = range - kFirstFine;
        const double sign = fine >= kPerSign ? -1.0 : 1.0;
        const auto lowest = static_cast<std::uint32_t>(kNear + ((fine % kPerSign) << 11));
        return {sign * steps(lowest), sign * steps(lowest + 0x7FF)};
    }
};

// Wider samples but 64-bit floats in two passes. The first counts the samples in ranges of values
// (IntegerRanges, FloatRanges), each of one sign, where the first clipping percentage moves one way
// with the value; where a range's two ends clip first at the same percentage, so do all its
// samples, which are placed together. The ranges whose ends differ hold the first clipping value
// of some percentage, a few of them; the second pass places each of their samples on its own.
template <sk::SampleEncoding kEncoding, typename Ranges>
void MeasureByRange(std::span<const std::uint8_t> samples, Bins* bins) {
    constexpr std::size_t kBytes = sk::BytesOf(kEncoding);
    const std::size_t count = samples.size() / kBytes;
    std::vector<std::uint32_t> tables[2];
    sk::InTwoHalves(count, kBytes, [&](std::size_t first, std::size_t last) {
        std::vector<std::uint32_t>& table = tables[first == 0 ? 0 : 1];
        table.assign(Ranges::kCount, 0);
        for (std::size_t i = first; i < last; ++i) {
            ++table[Ranges::Of(samples.data() + kBytes * i)];
        }
    });
    std::vector<bool> mixed(Ranges::kCount, false);
    bool anyMixed = false;
    for (std::size_t range = 0; range < Ranges::kCount; ++range) {
        std::uint64_t n = 0;
        for (const std::vector<std::uint32_t>& table : tables) {
            n += table.empty() ? 0 : table[range];
        }
        if (n == 0) {
            continue;
        }
        const std::array<double, 2> ends = Ranges::Ends(range);
        const int percent = FirstClipPercent<true>(ends[0]);
        if (percent == FirstClipPercent<true>(ends[1])) {
            (*bins)[static_cast<std::size_t>(percent)] += n;
        } else {
            mixed[range] = true;
            anyMixed = true;
        }
    }
    if (!anyMixed) {
        return;
    }
    Bins halves[2] = {};
    sk::InTwoHalves(count, kBytes, [&](std::size_t first, std::size_t last) {
        Bins& half = halves[first == 0 ? 0 : 1];
        for (std::size_t i = first; i < last; ++i) {
            const std::uint8_t* p = samples.data() + kBytes * i;
            if (mixed[Ranges::Of(p)]) {
                ++half[static_cast<std::size_t>(FirstClipPercent<true>(sk::StepsOf<kEncoding>(p)))];
            }
        }
    });
    for (std::size_t p = 0; p < bins->size(); ++p) {
        (*bins)[p] += halves[0][p] + halves[1][p];
    }
}

}  // namespace

CSampleLevels CSampleLevels::Measure(std::span<const std::uint8_t> samples,
                                     sk::SampleEncoding encoding) {
    CSampleLevels levels;
    Bins bins{};
    if (encoding == sk::SampleEncoding::kPcm16) {
        MeasureByValue<std::uint16_t>(samples, &levels.m_peak, &bins);
    } else if (encoding == sk::SampleEncoding::kPcm8) {
        MeasureByValue<std::uint8_t>(samples, &levels.m_peak, &bins);
    } else {
        levels.m_peak = sk::PeakOf(samples, encoding);
        if (encoding == sk::SampleEncoding::kFloat64) {
            MeasureEachSample(samples, &bins);
        } else {
            sk::ForWideEncoding(encoding, [&](auto kind) {
                if constexpr (kind.value == sk::SampleEncoding::kFloat32) {
                    MeasureByRange<kind.value, FloatRanges>(samples, &bins);
                } else if constexpr (kind.value != sk::SampleEncoding::kFloat64) {
                    MeasureByRange<kind.value, IntegerRanges<kind.value>>(samples, &bins);
                }
            });
        }
    }
    std::uint64_t clipped = 0;
    for (int p = 0; p <= kMaxPercent; ++p) {
        clipped += bins[static_cast<std::size_t>(p)];
        levels.m_clippedAt[static_cast<std::size_t>(p)] = clipped;
    }
    return levels;
}

std::uint64_t CSampleLevels::ClippedAt(int percent) const {
    return percent >= 0 && percent <= kMaxPercent ? m_clippedAt[static_cast<std::size_t>(percent)]
                                                  : 0;
}
