#include "wave/WideSampleKernels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "wave/KernelSupport.h"

namespace samplekernels {
namespace {

// The largest magnitude in steps of a 16-bit sample. Integers keep their extremes as integers,
// so that the loop compares whole vectors of them.
template <SampleEncoding kEncoding>
double PeakLoop(const std::uint8_t* bytes, std::size_t count) {
    constexpr std::size_t kBytes = BytesOf(kEncoding);
    if constexpr (kEncoding == SampleEncoding::kFloat32 || kEncoding == SampleEncoding::kFloat64) {
        double peak = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double magnitude = std::fabs(StepsOf<kEncoding>(bytes + kBytes * i));
            // NaN fails the first test and an infinity the second.
            peak = magnitude > peak && magnitude <= DBL_MAX ? magnitude : peak;
        }
        return peak;
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

}  // namespace

double PeakWide(std::span<const std::uint8_t> samples, SampleEncoding encoding) {
    const std::size_t unitBytes = BytesOf(encoding);
    double halves[2] = {};
    ForWideEncoding(encoding, [&](auto kind) {
        InTwoHalves(samples.size() / unitBytes, unitBytes,
                    [&](std::size_t first, std::size_t last) {
                        halves[first == 0 ? 0 : 1] =
                            PeakLoop<kind.value>(samples.data() + first * unitBytes, last - first);
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
            halves[first == 0 ? 0 : 1] = NarrowLoop<kind.value>(
                samples.data() + first * unitBytes, narrowed.data() + 2 * first, last - first,
                factor, firstIndex + first);
        });
    });
    return halves[0] + halves[1];
}

}  // namespace samplekernels
