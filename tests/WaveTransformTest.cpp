// The sample transforms: peak, gain, bit-depth conversion, mono to stereo, the copy constructor
// and the percentage proposed for a peak.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using testsupport::Bytes;
using testsupport::Samples16;
using testsupport::ToSamples16;

using Messages = std::vector<std::string>;
using Samples = std::vector<std::int16_t>;

const std::string kBitsChanged = "ビット数を変更しました。";

void SetBlock(CWaveData& wave, const Bytes& bytes) {
    wave.m_pSamples = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), wave.m_pSamples.get());
    wave.m_sampleBytes = static_cast<std::uint32_t>(bytes.size());
}

// An image as the reader leaves it, with the block given byte for byte. The ids and sizes as read
// are filled too, so that a transform touching them would be seen.
void MakeImage(CWaveData& wave, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               const Bytes& block) {
    wave.m_riffId = MakeChunkId("RIFF");
    wave.m_riffSize = 1234;
    wave.m_waveId = MakeChunkId("WAVE");
    wave.m_fmtId = MakeChunkId("fmt ");
    wave.m_fmtSize = 16;
    wave.m_formatTag = 1;
    wave.m_channels = channels;
    wave.m_samplesPerSec = rate;
    wave.m_blockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    wave.m_avgBytesPerSec = rate * wave.m_blockAlign;
    wave.m_bitsPerSample = bits;
    wave.m_dataId = MakeChunkId("data");
    wave.m_dataSize = static_cast<std::uint32_t>(block.size());
    SetBlock(wave, block);
}

void MakeImage16(CWaveData& wave, std::uint16_t channels, const Samples& samples) {
    MakeImage(wave, channels, 44100, 16, Samples16(samples));
}

Bytes BlockOf(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        return {};
    }
    return Bytes(wave.m_pSamples.get(), wave.m_pSamples.get() + wave.m_sampleBytes);
}

Samples SamplesOf(const CWaveData& wave) {
    return ToSamples16(wave.m_pSamples.get(), wave.m_sampleBytes);
}

// The fields that no transform may change.
void ExpectHeaderAsRead(const CWaveData& wave, std::uint32_t dataSize) {
    EXPECT_EQ(wave.m_riffId, MakeChunkId("RIFF"));
    EXPECT_EQ(wave.m_riffSize, 1234u);
    EXPECT_EQ(wave.m_waveId, MakeChunkId("WAVE"));
    EXPECT_EQ(wave.m_fmtId, MakeChunkId("fmt "));
    EXPECT_EQ(wave.m_fmtSize, 16u);
    EXPECT_EQ(wave.m_formatTag, 1);
    EXPECT_EQ(wave.m_dataId, MakeChunkId("data"));
    EXPECT_EQ(wave.m_dataSize, dataSize);
}

class WaveTransformTest : public testing::Test {
  protected:
    Messages Shown() const { return m_messages.Messages(); }

    testsupport::MessageCapture m_messages;
};

TEST_F(WaveTransformTest, PeakOfSixteenBitSamples) {
    struct Case {
        Samples samples;
        double peak;
    };
    const std::vector<Case> cases = {
        {{0, 5, -32768, 100}, 1.0},
        {{-32768}, 1.0},
        {{32767, -32767}, 32767.0 / 32768.0},
        {{16384, -100}, 0.5},
        {{100, -16384}, 0.5},
        {{0, 0, 0}, 0.0},
        {{}, 0.0},
        {{-1}, 1.0 / 32768.0},
    };
    for (const Case& c : cases) {
        CWaveData wave;
        MakeImage16(wave, 2, c.samples);
        EXPECT_EQ(wave.GetPeak(), c.peak) << testing::PrintToString(c.samples);
    }

    // A trailing odd byte belongs to no sample.
    CWaveData odd;
    MakeImage(odd, 1, 8000, 16, {0x64, 0x00, 0x80});
    EXPECT_EQ(odd.GetPeak(), 100.0 / 32768.0);

    const CWaveData none;
    EXPECT_EQ(none.GetPeak(), 0.0);
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, PeakOfEightBitSamples) {
    struct Case {
        Bytes bytes;
        double peak;
    };
    const std::vector<Case> cases = {
        {{128, 128, 128}, 0.0},    {{128, 0, 200}, 1.0},
        {{64, 192, 100}, 0.5},     {{255}, 127.0 / 128.0},
        {{127, 129}, 1.0 / 128.0}, {{192, 128}, 0.5},
        {{128, 64}, 0.5},          {{}, 0.0},
    };
    for (const Case& c : cases) {
        CWaveData wave;
        MakeImage(wave, 1, 8000, 8, c.bytes);
        EXPECT_EQ(wave.GetPeak(), c.peak) << testing::PrintToString(c.bytes);
    }
}

TEST_F(WaveTransformTest, GainScalesAndTruncatesTowardZero) {
    CWaveData wave;
    MakeImage16(wave, 1, {3, -3, 7, -7, 1, -1, 32767, -32768});
    wave.ApplyGain(0.5);
    EXPECT_EQ(SamplesOf(wave), (Samples{1, -1, 3, -3, 0, 0, 16383, -16384}));
    ExpectHeaderAsRead(wave, 16);
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    EXPECT_EQ(wave.m_sampleBytes, 16u);
    EXPECT_EQ(wave.m_avgBytesPerSec, 88200u);
    EXPECT_EQ(wave.m_blockAlign, 2);

    const Samples fullRange = {0, 1, -1, 12345, -12345, 32767, -32768};
    MakeImage16(wave, 1, fullRange);
    wave.ApplyGain(1.0);
    EXPECT_EQ(SamplesOf(wave), fullRange);

    wave.ApplyGain(0.0);
    EXPECT_EQ(SamplesOf(wave), Samples(fullRange.size(), 0));

    MakeImage16(wave, 2, {100, -100, 250, 0});
    wave.ApplyGain(1.5);
    EXPECT_EQ(SamplesOf(wave), (Samples{150, -150, 375, 0}));

    MakeImage16(wave, 1, {5, -5});
    wave.ApplyGain(-1.0);
    EXPECT_EQ(SamplesOf(wave), (Samples{-5, 5}));
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, GainSaturatesAtFullScale) {
    // A product beyond the 16-bit range is limited to full scale. Wrapping it round would turn a
    // loud sample into a full-scale spike of the other sign: a loud click where the sound should
    // merely clip.
    CWaveData wave;
    MakeImage16(wave, 1, {20000, -20000, 3277, -3277, 16383, 16384, -16384, -16385});
    wave.ApplyGain(2.0);
    EXPECT_EQ(SamplesOf(wave), (Samples{32767, -32768, 6554, -6554, 32766, 32767, -32768, -32768}));

    MakeImage16(wave, 1, {3277, -3277, 3276, 3, -3});
    wave.ApplyGain(10.0);
    EXPECT_EQ(SamplesOf(wave), (Samples{32767, -32768, 32760, 30, -30}));

    // Inverting -32768 gives 32768, one beyond the largest sample.
    MakeImage16(wave, 1, {-32768, 32767});
    wave.ApplyGain(-1.0);
    EXPECT_EQ(SamplesOf(wave), (Samples{32767, -32767}));

    MakeImage16(wave, 1, {1, -1, 32767, -32768});
    wave.ApplyGain(1000.0);
    EXPECT_EQ(SamplesOf(wave), (Samples{1000, -1000, 32767, -32768}));
}

TEST_F(WaveTransformTest, GainLeavesATrailingOddByteAlone) {
    CWaveData wave;
    MakeImage(wave, 1, 8000, 16, {0x10, 0x00, 0x20, 0x00, 0x7F});
    wave.ApplyGain(2.0);
    EXPECT_EQ(BlockOf(wave), (Bytes{0x20, 0x00, 0x40, 0x00, 0x7F}));

    // A block of one byte holds no sample at all.
    MakeImage(wave, 1, 8000, 16, {0x7F});
    wave.ApplyGain(2.0);
    EXPECT_EQ(BlockOf(wave), Bytes{0x7F});
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, GainWidensEightBitSamplesFirstAndSaysSo) {
    CWaveData wave;
    Bytes block(1000, 128);
    block[0] = 0;
    block[1] = 192;
    block[2] = 255;
    block[999] = 64;
    MakeImage(wave, 1, 8000, 8, block);
    wave.ApplyGain(0.5);

    EXPECT_EQ(Shown(), Messages{kBitsChanged});
    EXPECT_EQ(wave.m_sampleBytes, 2000u);
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    EXPECT_EQ(wave.m_avgBytesPerSec, 16000u);
    EXPECT_EQ(wave.m_blockAlign, 2);
    EXPECT_EQ(wave.m_channels, 1);
    EXPECT_EQ(wave.m_samplesPerSec, 8000u);
    ExpectHeaderAsRead(wave, 1000);
    Samples expected(1000, 0);
    expected[0] = -16384;
    expected[1] = 8192;
    expected[2] = 16256;
    expected[999] = -8192;
    EXPECT_EQ(SamplesOf(wave), expected);

    // One 8-bit byte is widened to one 16-bit sample, which is then scaled.
    m_messages.Clear();
    MakeImage(wave, 1, 8000, 8, {160});
    wave.ApplyGain(2.0);
    EXPECT_EQ(Shown(), Messages{kBitsChanged});
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    EXPECT_EQ(SamplesOf(wave), Samples{16384});

    // Widening then scaling 8-bit stereo.
    m_messages.Clear();
    MakeImage(wave, 2, 11025, 8, {0, 255});
    wave.ApplyGain(1.0);
    EXPECT_EQ(Shown(), Messages{kBitsChanged});
    EXPECT_EQ(SamplesOf(wave), (Samples{-32768, 32512}));
    EXPECT_EQ(wave.m_blockAlign, 4);
    EXPECT_EQ(wave.m_avgBytesPerSec, 44100u);
}

TEST_F(WaveTransformTest, EightToSixteenBits) {
    Bytes every(256);
    for (std::size_t i = 0; i < every.size(); ++i) {
        every[i] = static_cast<std::uint8_t>(i);
    }
    CWaveData wave;
    MakeImage(wave, 2, 22050, 8, every);
    wave.ConvertBits(16);

    ASSERT_EQ(wave.m_sampleBytes, 512u);
    const Samples widened = SamplesOf(wave);
    for (int u = 0; u < 256; ++u) {
        EXPECT_EQ(widened[static_cast<std::size_t>(u)], (u - 128) * 256) << u;
    }
    EXPECT_EQ(widened[0], -32768);
    EXPECT_EQ(widened[128], 0);
    EXPECT_EQ(widened[255], 32512);
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    EXPECT_EQ(wave.m_avgBytesPerSec, 88200u);
    EXPECT_EQ(wave.m_blockAlign, 4);
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_samplesPerSec, 22050u);
    ExpectHeaderAsRead(wave, 256);

    // Back to eight bits gives every byte as it was.
    wave.ConvertBits(8);
    EXPECT_EQ(BlockOf(wave), every);
    EXPECT_EQ(wave.m_bitsPerSample, 8);
    EXPECT_EQ(wave.m_avgBytesPerSec, 44100u);
    EXPECT_EQ(wave.m_blockAlign, 2);

    // The same through the direct calls, on an odd-length block.
    MakeImage(wave, 1, 8000, 8, {1, 2, 3});
    wave.Convert8To16();
    EXPECT_EQ(wave.m_sampleBytes, 6u);
    wave.Convert16To8();
    EXPECT_EQ(BlockOf(wave), (Bytes{1, 2, 3}));
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, SixteenToEightBitsKeepsTheHighByte) {
    CWaveData wave;
    MakeImage16(wave, 2, {-32768, -1, 0, 255, 256, 32767, -256, -257, 0x1280});
    wave.ConvertBits(8);
    EXPECT_EQ(BlockOf(wave), (Bytes{0, 127, 128, 128, 129, 255, 127, 126, 146}));
    EXPECT_EQ(wave.m_sampleBytes, 9u);
    EXPECT_EQ(wave.m_bitsPerSample, 8);
    EXPECT_EQ(wave.m_avgBytesPerSec, 88200u);
    EXPECT_EQ(wave.m_blockAlign, 2);
    EXPECT_EQ(wave.m_channels, 2);
    ExpectHeaderAsRead(wave, 18);

    // A trailing odd byte is dropped.
    MakeImage(wave, 1, 8000, 16, {0x00, 0x40, 0xEE});
    wave.Convert16To8();
    EXPECT_EQ(BlockOf(wave), Bytes{192});
    EXPECT_EQ(wave.m_sampleBytes, 1u);
}

TEST_F(WaveTransformTest, ConvertBitsDoesNothingUnlessItChangesTheDepth) {
    CWaveData wave;
    MakeImage16(wave, 1, {1000, -1000});
    const std::uint8_t* block = wave.m_pSamples.get();
    for (const int target : {16, 24, 0, 32}) {
        wave.ConvertBits(target);
        EXPECT_EQ(wave.m_pSamples.get(), block) << target;
        EXPECT_EQ(SamplesOf(wave), (Samples{1000, -1000})) << target;
        EXPECT_EQ(wave.m_bitsPerSample, 16);
    }

    MakeImage(wave, 1, 8000, 8, {10, 20});
    block = wave.m_pSamples.get();
    for (const int target : {8, 24, 0}) {
        wave.ConvertBits(target);
        EXPECT_EQ(wave.m_pSamples.get(), block) << target;
        EXPECT_EQ(BlockOf(wave), (Bytes{10, 20})) << target;
        EXPECT_EQ(wave.m_bitsPerSample, 8);
        EXPECT_EQ(wave.m_avgBytesPerSec, 8000u);
    }

    // An image without samples stays without them.
    CWaveData none;
    none.m_bitsPerSample = 8;
    none.ConvertBits(16);
    EXPECT_FALSE(none.HasSamples());
    EXPECT_EQ(none.m_sampleBytes, 0u);
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, MonoToStereoDoublesEverySample) {
    CWaveData wave;
    MakeImage16(wave, 1, {1, -2});
    wave.MonoToStereo();
    EXPECT_EQ(SamplesOf(wave), (Samples{1, 1, -2, -2}));
    EXPECT_EQ(wave.m_sampleBytes, 8u);
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_avgBytesPerSec, 176400u);
    EXPECT_EQ(wave.m_blockAlign, 4);
    EXPECT_EQ(wave.m_samplesPerSec, 44100u);
    EXPECT_EQ(wave.m_bitsPerSample, 16);
    ExpectHeaderAsRead(wave, 4);

    MakeImage(wave, 1, 8000, 8, {0, 200, 128});
    wave.MonoToStereo();
    EXPECT_EQ(BlockOf(wave), (Bytes{0, 0, 200, 200, 128, 128}));
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_avgBytesPerSec, 16000u);
    EXPECT_EQ(wave.m_blockAlign, 2);
    EXPECT_EQ(wave.m_bitsPerSample, 8);

    // A stereo image is left as it is.
    MakeImage16(wave, 2, {7, 8});
    const std::uint8_t* block = wave.m_pSamples.get();
    wave.MonoToStereo();
    EXPECT_EQ(wave.m_pSamples.get(), block);
    EXPECT_EQ(SamplesOf(wave), (Samples{7, 8}));
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_avgBytesPerSec, 176400u);
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveTransformTest, MonoToStereoTurnsATrailingOddByteIntoSilence) {
    // The stray byte belongs to no sample; doubling it into a half sample (or leaving whatever
    // the new block held) would put noise into the last frame that is played and saved.
    CWaveData wave;
    MakeImage(wave, 1, 8000, 16, {0x07, 0x00, 0xF8, 0xFF, 0x55});
    wave.MonoToStereo();
    ASSERT_EQ(wave.m_sampleBytes, 10u);
    EXPECT_EQ(BlockOf(wave), (Bytes{0x07, 0x00, 0x07, 0x00, 0xF8, 0xFF, 0xF8, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_blockAlign, 4);

    MakeImage(wave, 1, 8000, 16, {0x55});
    wave.MonoToStereo();
    EXPECT_EQ(BlockOf(wave), (Bytes{0x00, 0x00}));
}

TEST_F(WaveTransformTest, PlayCopyIsWidenedScaledAndDoubled) {
    // The order a preview uses: copy, gain (widening 8 bits), then mono to stereo.
    CWaveData loaded;
    MakeImage(loaded, 1, 8000, 8, {128, 255, 0, 160});
    CWaveData play(loaded);
    play.ApplyGain(0.5);
    play.MonoToStereo();
    EXPECT_EQ(Shown(), Messages{kBitsChanged});
    EXPECT_EQ(SamplesOf(play), (Samples{0, 0, 16256, 16256, -16384, -16384, 4096, 4096}));
    EXPECT_EQ(play.m_channels, 2);
    EXPECT_EQ(play.m_bitsPerSample, 16);
    EXPECT_EQ(play.m_blockAlign, 4);
    EXPECT_EQ(play.m_avgBytesPerSec, 32000u);
    EXPECT_EQ(play.m_samplesPerSec, 8000u);

    // The loaded image is untouched.
    EXPECT_EQ(BlockOf(loaded), (Bytes{128, 255, 0, 160}));
    EXPECT_EQ(loaded.m_bitsPerSample, 8);
    EXPECT_EQ(loaded.m_channels, 1);
}

TEST_F(WaveTransformTest, CopyTakesTheFormatAndItsOwnCopyOfTheSamples) {
    CWaveData source;
    MakeImage16(source, 2, {10, -20, 30, -40});
    source.m_formatTag = 0x1234;
    CWaveData copy(source);

    EXPECT_EQ(copy.m_formatTag, 0x1234);
    EXPECT_EQ(copy.m_channels, 2);
    EXPECT_EQ(copy.m_samplesPerSec, 44100u);
    EXPECT_EQ(copy.m_avgBytesPerSec, 176400u);
    EXPECT_EQ(copy.m_blockAlign, 4);
    EXPECT_EQ(copy.m_bitsPerSample, 16);
    EXPECT_EQ(copy.m_sampleBytes, 8u);
    EXPECT_EQ(BlockOf(copy), BlockOf(source));
    EXPECT_NE(copy.m_pSamples.get(), source.m_pSamples.get());
    // The ids and sizes as read belong to the file, not to the copy.
    EXPECT_EQ(copy.m_riffId, 0u);
    EXPECT_EQ(copy.m_riffSize, 0u);
    EXPECT_EQ(copy.m_waveId, 0u);
    EXPECT_EQ(copy.m_fmtId, 0u);
    EXPECT_EQ(copy.m_fmtSize, 0u);
    EXPECT_EQ(copy.m_dataId, 0u);
    EXPECT_EQ(copy.m_dataSize, 0u);

    copy.ApplyGain(2.0);
    EXPECT_EQ(SamplesOf(copy), (Samples{20, -40, 60, -80}));
    EXPECT_EQ(SamplesOf(source), (Samples{10, -20, 30, -40}));

    // A copy of an image without samples has none either; an empty block stays an empty block.
    CWaveData none;
    none.m_channels = 1;
    none.m_bitsPerSample = 16;
    const CWaveData noneCopy(none);
    EXPECT_FALSE(noneCopy.HasSamples());
    EXPECT_EQ(noneCopy.m_sampleBytes, 0u);
    EXPECT_EQ(noneCopy.m_channels, 1);

    CWaveData empty;
    MakeImage16(empty, 1, {});
    const CWaveData emptyCopy(empty);
    EXPECT_TRUE(emptyCopy.HasSamples());
    EXPECT_EQ(emptyCopy.m_sampleBytes, 0u);
    EXPECT_EQ(Shown(), Messages{});
}

TEST(ProposePercentTest, PercentThatBringsThePeakToFullScale) {
    // Truncated, so that the proposal never pushes the peak past full scale, and limited to the
    // 1000 % the user can choose, which a nearly silent file would otherwise exceed.
    struct Case {
        double peak;
        int percent;
    };
    const std::vector<Case> cases = {
        {0.0, 0},
        {1.0, 100},
        {32768 * 3.0517578125e-05, 100},
        {32767 * 3.0517578125e-05, 100},
        {16384 * 3.0517578125e-05, 200},
        {10923 * 3.0517578125e-05, 299},
        {3277 * 3.0517578125e-05, 999},
        {3276 * 3.0517578125e-05, 1000},
        {100 * 3.0517578125e-05, 1000},
        {1 * 3.0517578125e-05, 1000},
        {127 * 0.0078125, 100},
        {64 * 0.0078125, 200},
        {1 * 0.0078125, 1000},
        {0.3, 333},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProposePercent(c.peak), c.percent) << c.peak;
    }
}

TEST(ProposePercentTest, MeasuredPeakGivesTheProposal) {
    CWaveData wave;
    MakeImage16(wave, 2, {100, -3277, 50});
    EXPECT_EQ(ProposePercent(wave.GetPeak()), 999);
    MakeImage16(wave, 2, {0, 0});
    EXPECT_EQ(ProposePercent(wave.GetPeak()), 0);
    MakeImage(wave, 1, 8000, 8, {128, 0});
    EXPECT_EQ(ProposePercent(wave.GetPeak()), 100);
}

}  // namespace
