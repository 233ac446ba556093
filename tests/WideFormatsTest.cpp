// Samples wider than 16 bits: which files give them, their peak at full precision, the gain that
// narrows them with dither (its error bounded and centred, its dither triangular), and the clip
// counts of every percentage against a direct count, for every encoding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "wave/SampleKernels.h"
#include "wave/SampleLevels.h"
#include "wave/WaveData.h"
#include "wave/WideSampleKernels.h"

namespace {

using namespace testsupport;
namespace sk = samplekernels;
using Encoding = sk::SampleEncoding;

const std::string kBitsChanged = "ビット数を変更しました。";

// The sample's bytes as a file holds them, from a value in steps of a 16-bit sample (an integer
// sample is the value times 256 or 65536, rounded; a float one the value over 32768).
void AppendSample(Bytes& bytes, Encoding encoding, double steps) {
    std::uint8_t raw[8] = {};
    switch (encoding) {
        case Encoding::kPcm8:
            raw[0] = static_cast<std::uint8_t>(std::lround(steps / 256.0) + 128);
            break;
        case Encoding::kPcm16: {
            const auto s = static_cast<std::int16_t>(std::lround(steps));
            std::memcpy(raw, &s, 2);
            break;
        }
        case Encoding::kPcm24:
        case Encoding::kPcm32: {
            const bool deep = encoding == Encoding::kPcm32;
            const auto s = static_cast<std::int32_t>(std::llround(steps * (deep ? 65536 : 256)));
            std::memcpy(raw, &s, deep ? 4 : 3);
            break;
        }
        case Encoding::kFloat32: {
            const auto x = static_cast<float>(steps / 32768.0);
            std::memcpy(raw, &x, 4);
            break;
        }
        case Encoding::kFloat64: {
            const double x = steps / 32768.0;
            std::memcpy(raw, &x, 8);
            break;
        }
    }
    bytes.insert(bytes.end(), raw, raw + sk::BytesOf(encoding));
}

// The value of the sample at index i in steps, read back independently of the kernels.
double StepsAt(const Bytes& bytes, Encoding encoding, std::size_t i) {
    const std::uint8_t* p = &bytes[i * sk::BytesOf(encoding)];
    switch (encoding) {
        case Encoding::kPcm8:
            return (p[0] - 128) * 256.0;
        case Encoding::kPcm16:
            return static_cast<std::int16_t>(p[0] | p[1] << 8);
        case Encoding::kPcm24:
            return ((p[0] | p[1] << 8 | p[2] << 16) - (p[2] >= 128 ? 1 << 24 : 0)) / 256.0;
        case Encoding::kPcm32: {
            std::int32_t s;
            std::memcpy(&s, p, 4);
            return s / 65536.0;
        }
        case Encoding::kFloat32: {
            float x;
            std::memcpy(&x, p, 4);
            return x * 32768.0;
        }
        case Encoding::kFloat64: {
            double x;
            std::memcpy(&x, p, 8);
            return x * 32768.0;
        }
    }
    return 0.0;
}

// Pseudo-random values in steps, loud ones (beyond full scale for floats) among them.
std::vector<double> Values(std::size_t count, Encoding encoding, std::uint32_t seed) {
    const double most = encoding == Encoding::kFloat32 || encoding == Encoding::kFloat64
                            ? 40000.0
                            : (encoding == Encoding::kPcm8 ? 32512.0 : 32767.0);
    std::vector<double> values(count);
    for (double& v : values) {
        seed = seed * 1664525 + 1013904223;
        v = (static_cast<double>(seed >> 8) / (1 << 24) * 2.0 - 1.0) * most;
    }
    // Products on either side of each limit at 100 %, 200 % and 250 %: negative full scale,
    // halves of a step for the rounded products, 16384 and 13107 for the truncated ones.
    for (const double v : {-32768.0, 32767.25, 32767.5, -32768.5, -32768.75, 16384.0, -16384.0,
                           13107.0, -13107.5, 13107.25}) {
        values.push_back(encoding == Encoding::kPcm8 ? std::round(v / 256.0) * 256.0 : v);
    }
    return values;
}

struct Format {
    const char* name;
    Encoding encoding;
    std::uint16_t tag;
    std::uint16_t bits;
};
const Format kWide[] = {{"24-bit", Encoding::kPcm24, 1, 24},
                        {"32-bit", Encoding::kPcm32, 1, 32},
                        {"32-bit float", Encoding::kFloat32, 3, 32},
                        {"64-bit float", Encoding::kFloat64, 3, 64}};

Bytes Extensible(const Format& format, std::uint16_t channels, std::uint16_t validBits) {
    return ExtensibleRecord(channels, 48000, format.bits, validBits, format.tag);
}

class WideFormatsTest : public testing::Test {
  protected:
    CWaveData Load(const Bytes& record, const Bytes& data) {
        const std::string path = m_dir.File("in.wav");
        WriteFile(path, RiffBuilder().Chunk("fmt ", record).Chunk("data", data).Build());
        m_messages.Clear();
        return CWaveData(path.c_str());
    }

    TempDir m_dir;
    MessageCapture m_messages;
};

TEST_F(WideFormatsTest, ReaderTakesEachWideFormatPlainAndExtensible) {
    for (const Format& format : kWide) {
        Bytes data;
        for (const double v : {0.0, 1000.5, -32768.0, 12345.25}) {
            AppendSample(data, format.encoding, v);
        }
        const Bytes records[] = {FormatRecord(format.tag, 2, 48000, format.bits),
                                 Extensible(format, 2, format.bits), Extensible(format, 1, 0)};
        for (std::size_t r = 0; r < std::size(records); ++r) {
            SCOPED_TRACE(std::string(format.name) + " record " + std::to_string(r));
            const CWaveData wave = Load(records[r], data);
            // An extensible record without valid bits does not say what its samples are.
            if (r == 2) {
                EXPECT_FALSE(wave.HasSamples());
                EXPECT_EQ(m_messages.Messages().size(), 1u);
                continue;
            }
            ASSERT_TRUE(wave.HasSamples());
            EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{});
            EXPECT_EQ(wave.m_formatTag, format.tag);
            EXPECT_EQ(wave.m_bitsPerSample, format.bits);
            EXPECT_EQ(BlockOf(wave), data);
            EXPECT_EQ(wave.GetPeak(), 1.0);
        }
    }
    // Fewer valid bits than the container: PCM only.
    EXPECT_FALSE(Load(Extensible(kWide[2], 2, 24), Bytes(8)).HasSamples());
    EXPECT_TRUE(Load(Extensible(kWide[0], 2, 20), Bytes(6)).HasSamples());
}

TEST_F(WideFormatsTest, PeakAndProposalAtFullPrecision) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::tuple<Encoding, std::vector<double>, double, int> cases[] = {
        {Encoding::kPcm24, {16384.0, -3.0}, 0.5, 200},
        {Encoding::kPcm24, {32767.99609375}, 8388607.0 / 8388608.0, 100},
        {Encoding::kPcm32, {-32768.0, 5.0}, 1.0, 100},
        {Encoding::kPcm32, {3276.0}, 3276.0 / 32768.0, 1000},
        // Beyond full scale: the proposal lowers the level.
        {Encoding::kFloat32, {40960.0, -100.0}, 1.25, 80},
        // Non-finite samples are damage, not level.
        {Encoding::kFloat64, {nan, 16384.0, -inf, inf, -8192.0}, 0.5, 200},
    };
    for (const auto& [encoding, values, peak, percent] : cases) {
        Bytes data;
        for (const double v : values) {
            AppendSample(data, encoding, v);
        }
        SCOPED_TRACE(testing::PrintToString(values));
        EXPECT_EQ(sk::PeakOf(data, encoding), peak);
        EXPECT_EQ(CSampleLevels::Measure(data, encoding).Peak(), peak);
        EXPECT_EQ(ProposePercent(peak), percent);
    }
    // A double too large for its steps to be finite is taken as infinite, by the peak as by the
    // gain.
    Bytes huge(16);
    const double samples[] = {1e305, 0.5};
    std::memcpy(huge.data(), samples, 16);
    EXPECT_EQ(sk::PeakOf(huge, Encoding::kFloat64), 0.5);
    EXPECT_EQ(CSampleLevels::Measure(huge, Encoding::kFloat64).Peak(), 0.5);
}

// The peak of a span long enough for the eight-samples-a-step loop, with the largest magnitude
// (negative full scale, or a float beyond it) in each place of the steps and of the rest, and a
// NaN and infinities of the floats beside it, which count nothing.
TEST_F(WideFormatsTest, PeakInEveryPlaceOfALongSpan) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    constexpr std::size_t kCount = 43;
    for (const Format& format : kWide) {
        SCOPED_TRACE(format.name);
        const bool floats =
            format.encoding == Encoding::kFloat32 || format.encoding == Encoding::kFloat64;
        const double largest = floats ? -40960.0 : -32768.0;
        for (std::size_t place = 0; place < kCount; ++place) {
            std::vector<double> values(kCount, 1000.0);
            values[place] = largest;
            values[(place + 5) % kCount] = 32000.0;
            if (floats) {
                values[(place + 1) % kCount] = nan;
                values[(place + 3) % kCount] = inf;
                values[(place + 9) % kCount] = -inf;
            }
            Bytes data;
            for (const double v : values) {
                AppendSample(data, format.encoding, v);
            }
            SCOPED_TRACE(place);
            EXPECT_EQ(sk::PeakOf(data, format.encoding), -largest / 32768.0);
        }
    }
}

// The dither is the sum of two uniform values: inside (-1, 1), centred, and triangular, so that
// three quarters of it lie within half a step (a rectangular one of +-1 would put half there,
// one of +-0.5 all).
TEST(TpdfDitherTest, IsTriangularCentredAndWithinOneStep) {
    constexpr std::uint64_t kCount = 1'000'000;
    double sum = 0.0;
    std::uint64_t inner = 0;
    std::uint64_t quarters[4] = {};
    for (std::uint64_t i = 0; i < kCount; ++i) {
        const double d = sk::TpdfDither(i);
        ASSERT_GE(d, -1.0);
        ASSERT_LT(d, 1.0);
        sum += d;
        inner += std::fabs(d) < 0.5 ? 1 : 0;
        ++quarters[static_cast<int>((d + 1.0) * 2.0)];
    }
    EXPECT_NEAR(sum / kCount, 0.0, 0.003);
    EXPECT_NEAR(static_cast<double>(inner) / kCount, 0.75, 0.003);
    // Triangular: 1/8, 3/8, 3/8, 1/8 of it in the four quarters of (-1, 1).
    for (int q = 0; q < 4; ++q) {
        EXPECT_NEAR(static_cast<double>(quarters[q]) / kCount, q == 0 || q == 3 ? 0.125 : 0.375,
                    0.003);
    }
}

TEST_F(WideFormatsTest, GainNarrowsWithErrorBoundedAndCentred) {
    for (const Format& format : kWide) {
        for (const double factor : {1.0, 0.37, 2.5}) {
            SCOPED_TRACE(std::string(format.name) + " x " + std::to_string(factor));
            const std::vector<double> values = Values(200'001, format.encoding, 5);
            Bytes data;
            for (const double v : values) {
                AppendSample(data, format.encoding, v);
            }
            CWaveData wave;
            SetRecord(wave, FormatRecord(format.tag, 1, 44100, format.bits));
            SetBlock(wave, data);
            m_messages.Clear();
            wave.ApplyGain(factor);
            EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{kBitsChanged});
            EXPECT_EQ(RecordOf(wave), FormatRecord(1, 1, 44100, 16));
            const std::vector<std::int16_t> out =
                ToSamples16(BlockOf(wave).data(), wave.m_sampleBytes);
            ASSERT_EQ(out.size(), values.size());
            double errorSum = 0.0;
            double squareSum = 0.0;
            std::uint64_t inRange = 0;
            for (std::size_t i = 0; i < out.size(); ++i) {
                const double g = StepsAt(data, format.encoding, i) * factor;
                if (g >= 32768.5 || g <= -32769.5) {
                    // Saturated whatever the dither: never past full scale, never wrapped round.
                    ASSERT_EQ(out[i], g < 0 ? -32768 : 32767) << g;
                    continue;
                }
                if (g >= 32766.5 || g <= -32767.5) {
                    continue;  // within a step of the limits, where saturation may narrow it
                }
                const double error = out[i] - g;
                ASSERT_LT(std::fabs(error), 1.5) << g;  // a step of dither and half of rounding
                errorSum += error;
                squareSum += error * error;
                ++inRange;
            }
            // Centred, with the variance of rounding (1/12) and of the dither (1/6) together.
            EXPECT_NEAR(errorSum / static_cast<double>(inRange), 0.0, 0.01);
            EXPECT_NEAR(squareSum / static_cast<double>(inRange), 0.25, 0.01);
        }
    }
}

TEST_F(WideFormatsTest, SilenceStaysSilentAndNaNBecomesSilence) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Bytes data;
    for (const double v : {0.0, -0.0, nan, 0.0}) {
        AppendSample(data, Encoding::kFloat64, v);
    }
    Bytes narrowed(8, 0xEE);
    EXPECT_EQ(sk::NarrowWithGain(data, Encoding::kFloat64, narrowed, 3.0, 77), 0u);
    EXPECT_EQ(narrowed, Bytes(8, 0));
}

// The vector loop (eight samples a step where the processor has AVX2) and the one-sample loop
// give the same bytes and counts, specials included: each sample alone against the whole span.
TEST(NarrowWithGainTest, WholeSpansAndSingleSamplesAgree) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Format& format : kWide) {
        SCOPED_TRACE(format.name);
        std::vector<double> values = Values(997, format.encoding, 3);
        // The smallest double, whose product can come to 0 while the sample is not.
        for (const double special : {0.0, -0.0, nan, inf, -inf, 32767.5, -32768.5, 0x1p-1059}) {
            values.insert(values.begin() + 40, special);
        }
        Bytes data;
        for (const double v : values) {
            AppendSample(data, format.encoding, v);
        }
        const std::size_t count = values.size();
        const std::size_t width = sk::BytesOf(format.encoding);
        const std::uint64_t firstIndex = 0xFFFF'FFF0;  // the hash's index wraps round in the span
        // The greatest factor the command line gives, one under which products of the smallest
        // doubles fall to 0, and one so small that the product of it and a step's size would fall
        // to 0, while the products of the samples in steps and it do not.
        for (const double factor : {1.37, 10.0, 0.0, 1e-5, 0x1p-1070}) {
            SCOPED_TRACE(factor);
            Bytes whole(2 * count);
            const std::uint64_t clipped =
                sk::NarrowWithGain(data, format.encoding, whole, factor, firstIndex);
            Bytes single(2 * count);
            std::uint64_t clippedOneByOne = 0;
            for (std::size_t i = 0; i < count; ++i) {
                clippedOneByOne += sk::NarrowWithGain({&data[i * width], width}, format.encoding,
                                                      {&single[2 * i], 2}, factor, firstIndex + i);
            }
            EXPECT_EQ(whole, single);
            EXPECT_EQ(clipped, clippedOneByOne);
        }
    }
}

// For every encoding and every whole percentage: the count of the levels, the count that the gain
// kernel gives, and a direct count of the samples whose undithered result saturation changes.
TEST(ClipCountTest, EveryPercentageAgainstADirectCount) {
    const Encoding encodings[] = {Encoding::kPcm8,  Encoding::kPcm16,   Encoding::kPcm24,
                                  Encoding::kPcm32, Encoding::kFloat32, Encoding::kFloat64};
    for (const Encoding encoding : encodings) {
        SCOPED_TRACE(static_cast<int>(encoding));
        std::vector<double> values = Values(3001, encoding, 9);
        if (encoding == Encoding::kFloat32 || encoding == Encoding::kFloat64) {
            // Clipped at every percentage but 0, and at none.
            const double inf = std::numeric_limits<double>::infinity();
            values.insert(values.end(), {inf, -inf, std::numeric_limits<double>::quiet_NaN()});
        }
        Bytes data;
        for (const double v : values) {
            AppendSample(data, encoding, v);
        }
        const CSampleLevels levels = CSampleLevels::Measure(data, encoding);
        Bytes narrowed(2 * values.size());
        std::size_t wrong = 0;
        for (int percent = 0; percent <= 1000; ++percent) {
            const double factor = GainFactor(percent);
            std::uint64_t direct = 0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                const double g = StepsAt(data, encoding, i) * factor;
                // 8-bit and 16-bit products are truncated, wider ones rounded.
                const double result = sk::IsWide(encoding) ? std::floor(g + 0.5) : std::trunc(g);
                direct += result < -32768.0 || result > 32767.0 ? 1 : 0;
            }
            std::uint64_t fromGain = 0;
            if (sk::IsWide(encoding)) {
                fromGain = sk::NarrowWithGain(data, encoding, narrowed, factor, 0);
            } else if (encoding == Encoding::kPcm16) {
                fromGain = sk::CountClipped16(data, factor);
            } else {
                sk::Widen8To16(data, narrowed);
                fromGain = sk::CountClipped16(narrowed, factor);
            }
            wrong += levels.ClippedAt(percent) != direct || fromGain != direct ? 1u : 0u;
            if (percent == 1000) {
                EXPECT_GT(direct, values.size() / 2);
            }
        }
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(levels.ClippedAt(0), 0u);
        EXPECT_EQ(levels.ClippedAt(1001), 0u);
    }
}

// Every 16-bit value under factors beyond the dialog's (negative, huge): the bounds that
// CountClipped16 finds are the gain's own.
TEST(ClipCountTest, EverySixteenBitValueUnderAnyFactor) {
    Bytes all;
    for (int v = -32768; v <= 32767; ++v) {
        AppendSample(all, Encoding::kPcm16, v);
    }
    for (const double factor : {-1.0, -0.5, 1.0000001, 2.0, 1e9, -1e9, 0.0}) {
        std::uint64_t direct = 0;
        for (int v = -32768; v <= 32767; ++v) {
            const double t = std::trunc(v * factor);
            direct += t < -32768.0 || t > 32767.0 ? 1 : 0;
        }
        EXPECT_EQ(sk::CountClipped16(all, factor), direct) << factor;
    }
}

}  // namespace
