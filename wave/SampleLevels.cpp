#include "wave/SampleLevels.h"

#include <algorithm>
#include <cfloat>
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

template <sk::SampleEncoding kEncoding>
void MeasureWide(std::span<const std::uint8_t> samples, double* peak, Bins* bins) {
    constexpr std::size_t kBytes = sk::BytesOf(kEncoding);
    struct Half {
        double peakSteps = 0.0;
        Bins bins{};
    };
    Half halves[2];
    sk::InTwoHalves(samples.size() / kBytes, kBytes, [&](std::size_t first, std::size_t last) {
        Half& half = halves[first == 0 ? 0 : 1];
        for (std::size_t i = first; i < last; ++i) {
            const double v = sk::StepsOf<kEncoding>(samples.data() + kBytes * i);
            const double magnitude = std::fabs(v);
            half.peakSteps =
                magnitude > half.peakSteps && magnitude <= DBL_MAX ? magnitude : half.peakSteps;
            ++half.bins[static_cast<std::size_t>(FirstClipPercent<true>(v))];
        }
    });
    *peak = std::max(halves[0].peakSteps, halves[1].peakSteps) * (1.0 / 32768.0);
    for (std::size_t p = 0; p < bins->size(); ++p) {
        (*bins)[p] = halves[0].bins[p] + halves[1].bins[p];
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
        sk::ForWideEncoding(
            encoding, [&](auto kind) { MeasureWide<kind.value>(samples, &levels.m_peak, &bins); });
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
