// The sample kernels against the arithmetic they stand for, worked out here in double precision
// one sample at a time: every 16-bit sample value under every percentage the program offers,
// every 8-bit value, samples in every vector lane, spans that do not start on a vector boundary,
// trailing odd bytes, and spans large enough to be split between two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "TestSupport.h"
#include "wave/SampleKernels.h"
#include "wave/WaveData.h"

namespace {

using testsupport::Bytes;
namespace sk = samplekernels;

int Sample16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(p[0] | p[1] << 8);
}

void Store16(std::uint8_t* p, int value) {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// The gain of one sample as the program promises it: the double product, truncated toward zero,
// limited to the 16-bit range.
int ExpectedGain(int sample, double factor) {
    return static_cast<int>(std::clamp(std::trunc(sample * factor), -32768.0, 32767.0));
}

// Every 16-bit value once, in an order that puts neighbours in different lanes, starting one byte
// into the buffer so that no vector load is aligned, and followed by an odd byte that belongs to
// no sample.
class AllSamples {
  public:
    static constexpr std::size_t kCount = 65536;
    static constexpr std::uint8_t kOddByte = 0xA7;

    AllSamples() : m_buffer(1 + 2 * kCount + 1) {
        for (std::size_t i = 0; i < kCount; ++i) {
            Store16(&m_buffer[1 + 2 * i], ValueAt(i));
        }
        m_buffer.back() = kOddByte;
    }

    // 40503 is odd, so i -> 40503 * i covers every value once.
    static int ValueAt(std::size_t i) { return static_cast<int>(i * 40503 % kCount) - 32768; }

    std::span<std::uint8_t> Span() { return {m_buffer.data() + 1, 2 * kCount + 1}; }
    int At(std::size_t i) const { return Sample16(&m_buffer[1 + 2 * i]); }

  private:
    Bytes m_buffer;
};

TEST(SampleKernelsTest, GainOfEverySampleAtEveryPercentageIsTheDoublePrecisionResult) {
    std::vector<double> factors;
    for (int percent = 0; percent <= 1000; ++percent) {
        factors.push_back(GainFactor(percent));
    }
    // Beyond the dialog's range: negative, tiny, at and past the point where products leave the
    // int range, huge.
    const double more[] = {-0.0,  -0.37,  -1.0, 1e-300, 0.999999999, 32767.5, 65535.99,
                           65536, -65536, 1e6,  -1e6,   1e300,       -1e300};
    factors.insert(factors.end(), std::begin(more), std::end(more));
    for (std::size_t f = 0; f < factors.size(); ++f) {
        const double factor = factors[f];
        AllSamples samples;
        // In place, and for every seventh factor from one span into another.
        const bool inPlace = f % 7 != 0;
        Bytes target(samples.Span().size(), 0x55);
        if (inPlace) {
            sk::ScaleSamples16(samples.Span(), factor);
        } else {
            sk::ScaleSamples16(samples.Span(), target, factor);
        }
        const std::uint8_t* scaled = inPlace ? samples.Span().data() : target.data();
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < AllSamples::kCount; ++i) {
            if (Sample16(scaled + 2 * i) != ExpectedGain(AllSamples::ValueAt(i), factor)) {
                ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0u) << "factor " << factor << (inPlace ? " in place" : "");
        EXPECT_EQ(scaled[2 * AllSamples::kCount], AllSamples::kOddByte) << "factor " << factor;
        if (!inPlace) {
            EXPECT_EQ(samples.At(12345), AllSamples::ValueAt(12345));  // the source is untouched
        }
    }
}

TEST(SampleKernelsTest, PeakIsTheLargestMagnitudeWhereverItStands) {
    // Every 16-bit value, each at another position of a quiet span longer than any vector.
    constexpr std::size_t kSpan = 71;
    Bytes block(2 * kSpan + 1, 0);
    block.back() = 0x80;  // an odd byte that would count 32768 if it were taken as a sample
    for (int value = -32768; value <= 32767; ++value) {
        const auto at = static_cast<std::size_t>(value + 32768) % kSpan;
        Store16(&block[2 * at], value);
        const std::uint32_t magnitude = sk::PeakMagnitude(block, 16);
        Store16(&block[2 * at], 0);
        ASSERT_EQ(magnitude, static_cast<std::uint32_t>(std::abs(value))) << value;
        ASSERT_EQ(sk::PeakFraction(magnitude, 16), std::abs(value) / 32768.0);
    }
    // Every 8-bit value likewise, on silence (128).
    Bytes bytes(kSpan, 128);
    for (int value = 0; value <= 255; ++value) {
        const auto at = static_cast<std::size_t>(value * 7) % kSpan;
        bytes[at] = static_cast<std::uint8_t>(value);
        const std::uint32_t magnitude = sk::PeakMagnitude(bytes, 8);
        bytes[at] = 128;
        ASSERT_EQ(magnitude, static_cast<std::uint32_t>(std::abs(value - 128))) << value;
        ASSERT_EQ(sk::PeakFraction(magnitude, 8), std::abs(value - 128) / 128.0);
    }
    EXPECT_EQ(sk::PeakMagnitude({}, 16), 0u);
    EXPECT_EQ(sk::PeakMagnitude({}, 8), 0u);
}

TEST(SampleKernelsTest, DepthConversionsOfEveryValue) {
    Bytes narrow(256);
    for (int u = 0; u < 256; ++u) {
        narrow[static_cast<std::size_t>(u)] = static_cast<std::uint8_t>(u);
    }
    Bytes wide(512, 0xEE);
    sk::Widen8To16(narrow, wide);
    for (int u = 0; u < 256; ++u) {
        ASSERT_EQ(Sample16(&wide[2 * static_cast<std::size_t>(u)]), (u - 128) * 256) << u;
    }
    Bytes back(256);
    sk::Narrow16To8(wide, back);
    EXPECT_EQ(back, narrow);

    AllSamples samples;
    Bytes narrowed(AllSamples::kCount + 1, 0xEE);
    sk::Narrow16To8(samples.Span(), narrowed);
    for (std::size_t i = 0; i < AllSamples::kCount; ++i) {
        const int expected = static_cast<int>(std::floor(AllSamples::ValueAt(i) / 256.0)) + 128;
        ASSERT_EQ(narrowed[i], expected) << AllSamples::ValueAt(i);
    }
    EXPECT_EQ(narrowed.back(), 0xEE);  // the odd byte of the source makes no sample
}

TEST(SampleKernelsTest, MonoToStereoDoublesEverySample) {
    constexpr std::size_t kSamples = 37;
    Bytes mono(2 * kSamples + 1);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = static_cast<std::uint8_t>(3 * i + 1);
    }
    Bytes stereo(2 * mono.size(), 0xEE);
    sk::MonoToStereo16(mono, stereo);
    for (std::size_t i = 0; i < kSamples; ++i) {
        ASSERT_EQ(Sample16(&stereo[4 * i]), Sample16(&mono[2 * i])) << i;
        ASSERT_EQ(Sample16(&stereo[4 * i + 2]), Sample16(&mono[2 * i])) << i;
    }
    EXPECT_EQ(Bytes(stereo.end() - 2, stereo.end()), (Bytes{0, 0}));

    Bytes stereo8(2 * mono.size(), 0xEE);
    sk::MonoToStereo8(mono, stereo8);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        ASSERT_EQ(stereo8[2 * i], mono[i]) << i;
        ASSERT_EQ(stereo8[2 * i + 1], mono[i]) << i;
    }
}

// From kSplitBytes on, two threads share the work at a boundary that is not a multiple of the
// sample count; both halves must come out as one.
TEST(SampleKernelsTest, SpansSplitBetweenTwoThreadsGiveTheSameResults) {
    constexpr std::size_t kCount = sk::kSplitBytes / 2 + 1'000'001;
    Bytes block(2 * kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        Store16(&block[2 * i], static_cast<int>(i * 7919 % 65536) - 32768);
    }
    EXPECT_EQ(sk::PeakMagnitude(block, 16), 32768u);
    Bytes quiet(block.size(), 1);
    quiet[2 * kCount - 1] = 0x90;  // the very last sample, in the second half
    EXPECT_EQ(sk::PeakMagnitude(quiet, 16),
              static_cast<std::uint32_t>(-Sample16(&quiet[2 * kCount - 2])));
    quiet[2 * kCount - 1] = 1;
    quiet[0] = 0xFF;
    quiet[1] = 0x7F;  // the very first, in the first half
    EXPECT_EQ(sk::PeakMagnitude(quiet, 16), 32767u);

    sk::ScaleSamples16(block, 1.37);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        const int source = static_cast<int>(i * 7919 % 65536) - 32768;
        if (Sample16(&block[2 * i]) != ExpectedGain(source, 1.37)) {
            ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
