// The sample transforms: peak, gain, bit-depth conversion, mono to stereo, the copy and the
// percentage proposed for a peak.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using testsupport::BlockOf;
using testsupport::Bytes;
using testsupport::FormatRecord;
using testsupport::RecordOf;

using Messages = std::vector<std::string>;

const std::string kBitsChanged = "ビット数を変更しました。";

Bytes S16(const std::vector<std::int16_t>& samples) {
    return testsupport::Samples16(samples);
}

// A PCM image at 8000 frames per second holding block byte for byte.
void MakeImage(CWaveData& wave, std::uint16_t channels, std::uint16_t bits, const Bytes& block) {
    testsupport::SetRecord(wave, FormatRecord(1, channels, 8000, bits));
    testsupport::SetBlock(wave, block);
}

class WaveTransformTest : public testing::Test {
  protected:
    // A test that expects a message clears it once checked.
    void TearDown() override { EXPECT_EQ(m_messages.Messages(), Messages{}); }

    testsupport::MessageCapture m_messages;
};

TEST_F(WaveTransformTest, PeakIsTheLargestMagnitudeAsAFractionOfFullScale) {
    const std::tuple<std::uint16_t, Bytes, double> cases[] = {
        {16, S16({0, 5, -32768, 100}), 1.0},
        {16, S16({32767, -32767}), 32767.0 / 32768.0},
        {16, S16({16384, -100}), 0.5},
        {16, S16({-1}), 1.0 / 32768.0},
        {16, {0x64, 0x00, 0x80}, 100.0 / 32768.0},  // the odd byte belongs to no sample
        {8, {128, 128}, 0.0},
        {8, {128, 0, 200}, 1.0},
        {8, {255}, 127.0 / 128.0},
        {8, {127, 129}, 1.0 / 128.0},
        {8, {192, 128}, 0.5},
        {8, {}, 0.0},
    };
    for (const auto& [bits, block, peak] : cases) {
        CWaveData wave;
        MakeImage(wave, 1, bits, block);
        EXPECT_EQ(wave.GetPeak(), peak) << bits << " bits " << testing::PrintToString(block);
    }
    EXPECT_EQ(CWaveData().GetPeak(), 0.0);
}

TEST_F(WaveTransformTest, GainTruncatesTowardZeroAndSaturatesAtFullScale) {
    // Wrapping a product beyond the 16-bit range round would turn a loud sample into a full-scale
    // spike of the other sign: a click where the sound should merely clip.
    const Bytes full = S16({0, 1, -1, 12345, -12345, 32767, -32768});
    const std::tuple<double, Bytes, Bytes> cases[] = {
        {0.5, S16({3, -3, 7, -7, 1, -1, 32767, -32768}), S16({1, -1, 3, -3, 0, 0, 16383, -16384})},
        {1.0, full, full},
        {2.0, S16({20000, -20000, 3277, -3277, 16383, 16384, -16384, -16385}),
         S16({32767, -32768, 6554, -6554, 32766, 32767, -32768, -32768})},
        {10.0, S16({3277, -3277, 3276, 3, -3}), S16({32767, -32768, 32760, 30, -30})},
        {1e6, S16({32767, -32768, 1, -1, 0}), S16({32767, -32768, 32767, -32768, 0})},
        // Inverting -32768 gives 32768, one beyond the largest sample.
        {-1.0, S16({5, -5, -32768, 32767}), S16({-5, 5, 32767, -32767})},
        // A trailing odd byte belongs to no sample.
        {2.0, {0x10, 0x00, 0x20, 0x00, 0x7F}, {0x20, 0x00, 0x40, 0x00, 0x7F}},
        {2.0, {0x7F}, {0x7F}},
    };
    for (const auto& [factor, in, out] : cases) {
        SCOPED_TRACE(testing::Message() << factor << " " << testing::PrintToString(in));
        CWaveData wave;
        MakeImage(wave, 1, 16, in);
        wave.ApplyGain(factor);
        EXPECT_EQ(BlockOf(wave), out);
        EXPECT_EQ(RecordOf(wave), FormatRecord(1, 1, 8000, 16));
    }
}

TEST_F(WaveTransformTest, GainWidensEightBitSamplesFirstAndSaysSo) {
    const std::tuple<std::uint16_t, Bytes, double, Bytes> cases[] = {
        {1, {0, 192, 255, 64, 128}, 0.5, S16({-16384, 8192, 16256, -8192, 0})},
        {1, {160}, 2.0, S16({16384})},
        {2, {0, 255}, 1.0, S16({-32768, 32512})},
    };
    for (const auto& [channels, in, factor, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(in));
        CWaveData wave;
        MakeImage(wave, channels, 8, in);
        wave.ApplyGain(factor);
        EXPECT_EQ(m_messages.Messages(), Messages{kBitsChanged});
        m_messages.Clear();
        EXPECT_EQ(BlockOf(wave), out);
        EXPECT_EQ(RecordOf(wave), FormatRecord(1, channels, 8000, 16));
    }
}

TEST_F(WaveTransformTest, BitDepthConversion) {
    Bytes every(256);
    std::iota(every.begin(), every.end(), std::uint8_t{0});
    CWaveData wave;
    MakeImage(wave, 2, 8, every);
    wave.ConvertBits(16);
    EXPECT_EQ(RecordOf(wave), FormatRecord(1, 2, 8000, 16));
    // Every 8-bit value comes back as it was; the 16-bit values it widens to are checked with the
    // gain.
    wave.ConvertBits(8);
    EXPECT_EQ(BlockOf(wave), every);
    EXPECT_EQ(RecordOf(wave), FormatRecord(1, 2, 8000, 8));

    // Narrowing keeps the high byte, moved from signed to unsigned; a trailing odd byte is dropped.
    Bytes block = S16({-32768, -1, 0, 255, 256, 32767, -256, -257, 0x1280});
    block.push_back(0xEE);
    MakeImage(wave, 1, 16, block);
    wave.ConvertBits(8);
    EXPECT_EQ(BlockOf(wave), (Bytes{0, 127, 128, 128, 129, 255, 127, 126, 146}));
    EXPECT_EQ(RecordOf(wave), FormatRecord(1, 1, 8000, 8));

    // Any other target leaves the image as it is, and so does an image without samples.
    const std::uint16_t depths[] = {8, 16};
    for (const std::uint16_t bits : depths) {
        MakeImage(wave, 1, bits, {10, 20});
        wave.ConvertBits(bits);
        wave.ConvertBits(24);
        EXPECT_EQ(BlockOf(wave), (Bytes{10, 20}));
        EXPECT_EQ(RecordOf(wave), FormatRecord(1, 1, 8000, bits));
    }
    CWaveData none;
    none.m_bitsPerSample = 8;
    none.ConvertBits(16);
    EXPECT_FALSE(none.HasSamples());
}

TEST_F(WaveTransformTest, MonoToStereoDoublesEverySample) {
    const std::tuple<std::uint16_t, std::uint16_t, Bytes, Bytes> cases[] = {
        {1, 16, S16({1, -2}), S16({1, 1, -2, -2})},
        {1, 8, {0, 200, 128}, {0, 0, 200, 200, 128, 128}},
        // A stray byte belongs to no sample; doubling it into a half sample (or leaving what the
        // new block held) would put noise into the last frame played and saved.
        {1, 16, {0x07, 0x00, 0xF8, 0xFF, 0x55}, {0x07, 0, 0x07, 0, 0xF8, 0xFF, 0xF8, 0xFF, 0, 0}},
        {1, 16, {0x55}, {0, 0}},
        {2, 16, S16({7, 8}), S16({7, 8})},
    };
    for (const auto& [channels, bits, in, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(in));
        CWaveData wave;
        MakeImage(wave, channels, bits, in);
        wave.MonoToStereo();
        EXPECT_EQ(BlockOf(wave), out);
        EXPECT_EQ(RecordOf(wave), FormatRecord(1, 2, 8000, bits));
    }
}

TEST_F(WaveTransformTest, CopyHasTheFormatAndItsOwnSamplesButNotTheIdsAsRead) {
    CWaveData source;
    MakeImage(source, 1, 8, {128, 255, 0, 160});
    source.m_formatTag = 0x1234;
    source.m_riffId = source.m_waveId = source.m_fmtId = source.m_dataId = MakeChunkId("junk");
    source.m_riffSize = source.m_fmtSize = source.m_dataSize = 99;
    CWaveData copy(source);
    EXPECT_EQ(RecordOf(copy), RecordOf(source));
    EXPECT_EQ(BlockOf(copy), BlockOf(source));
    // The ids and sizes as read belong to the file, not to the copy.
    EXPECT_EQ(
        (std::vector<std::uint32_t>{copy.m_riffId, copy.m_riffSize, copy.m_waveId, copy.m_fmtId,
                                    copy.m_fmtSize, copy.m_dataId, copy.m_dataSize}),
        std::vector<std::uint32_t>(7, 0));

    // The order a preview uses; the source is left alone.
    copy.ApplyGain(0.5);
    copy.MonoToStereo();
    EXPECT_EQ(m_messages.Messages(), Messages{kBitsChanged});
    m_messages.Clear();
    EXPECT_EQ(RecordOf(copy), FormatRecord(0x1234, 2, 8000, 16));
    EXPECT_EQ(BlockOf(source), (Bytes{128, 255, 0, 160}));
    EXPECT_EQ(RecordOf(source), FormatRecord(0x1234, 1, 8000, 8));

    // A copy of an image without samples has none; an empty block stays an empty block.
    const CWaveData none;
    EXPECT_FALSE(CWaveData(none).HasSamples());
    MakeImage(source, 1, 16, {});
    EXPECT_TRUE(CWaveData(source).HasSamples());
}

TEST(ProposePercentTest, PercentThatBringsThePeakToFullScale) {
    // Truncated, so that the proposal never pushes the peak past full scale, and limited to the
    // 1000 % the user can choose, which a nearly silent file would otherwise exceed. Peaks are
    // given as 16-bit magnitudes.
    const std::pair<int, int> cases[] = {{0, 0},       {32768, 100}, {32767, 100},
                                         {32512, 100}, {16384, 200}, {10923, 299},
                                         {3277, 999},  {3276, 1000}, {1, 1000}};
    for (const auto& [magnitude, percent] : cases) {
        EXPECT_EQ(ProposePercent(magnitude / 32768.0), percent) << magnitude;
    }
}

}  // namespace

// Blocks from 16 MiB on are worked on by two threads, each taking one half: every sample on
// either side of the split must come out as if one thread had done them all.
TEST_F(WaveTransformTest, LargeBlocksGiveTheSameResultsAcrossTheSplit) {
    constexpr std::size_t kCount = 9'000'001;
    std::vector<std::int16_t> samples(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 7919 % 65536) - 32768);
    }
    for (const std::size_t loudest :
         {std::size_t{17}, kCount / 2 - 1, kCount / 2 + 1, kCount - 1}) {
        std::vector<std::int16_t> quiet(kCount, 5);
        quiet[loudest] = -20000;
        CWaveData wave;
        MakeImage(wave, 2, 16, S16(quiet));
        EXPECT_DOUBLE_EQ(wave.GetPeak(), 20000 / 32768.0) << "loudest sample at " << loudest;
    }

    CWaveData wave;
    MakeImage(wave, 2, 16, S16(samples));
    wave.ApplyGain(1.37);
    const std::vector<std::int16_t> scaled =
        testsupport::ToSamples16(wave.m_pSamples.get(), wave.m_sampleBytes);
    ASSERT_EQ(scaled.size(), kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        const double product = samples[i] * 1.37;
        const double limited = product < -32768.0  ? -32768.0
                               : product > 32767.0 ? 32767.0
                                                   : product;
        ASSERT_EQ(scaled[i], static_cast<std::int16_t>(limited)) << "sample " << i;
    }

    // Written in one gathered write and read back by two threads, the block is unchanged.
    const testsupport::TempDir dir;
    const std::string path = dir.File("large.wav");
    ASSERT_TRUE(wave.Write(path.c_str()));
    const CWaveData readBack(path.c_str());
    ASSERT_TRUE(readBack.HasSamples());
    EXPECT_EQ(BlockOf(readBack), BlockOf(wave));
}
