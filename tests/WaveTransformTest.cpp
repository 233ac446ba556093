// The image's own transforms around the sample kernels: its peak over the whole block, the depth
// and channel changes of its record, the notice, and the copy that leaves its source alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using namespace testsupport;

class WaveTransformTest : public testing::Test {
  protected:
    // Makes m_wave a PCM image at 8000 frames per second holding block byte for byte.
    void Make(std::uint16_t channels, std::uint16_t bits, const Bytes& block) {
        SetRecord(m_wave, FormatRecord(1, channels, 8000, bits));
        SetBlock(m_wave, block);
    }

    MessageCapture m_messages;
    CWaveData m_wave;
};

TEST_F(WaveTransformTest, PeakIsTheLargestMagnitudeAsAFractionOfFullScale) {
    const std::tuple<std::uint16_t, Bytes, double> cases[] = {
        {16, Samples16({0, 5, -32768, 100}), 1.0},
        {16, {0x64, 0x00, 0x80}, 100.0 / 32768.0},  // the odd byte belongs to no sample
        {8, {255, 128}, 127.0 / 128.0},
        {8, {128, 0}, 1.0},
    };
    for (const auto& [bits, block, peak] : cases) {
        Make(1, bits, block);
        EXPECT_EQ(m_wave.GetPeak(), peak) << bits << " bits " << testing::PrintToString(block);
    }
}

// 8-bit samples are widened before the gain (with one notice) and narrowed back by their high byte.
TEST_F(WaveTransformTest, BitDepthConversion) {
    Make(2, 8, {0, 192, 255, 128});
    m_wave.ApplyGain(0.5);
    m_wave.ApplyGain(1.0);
    EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{"ビット数を変更しました。"});
    EXPECT_EQ(BlockOf(m_wave), Samples16({-16384, 8192, 16256, 0}));
    EXPECT_EQ(RecordOf(m_wave), FormatRecord(1, 2, 8000, 16));
    m_wave.ConvertBits(8);
    EXPECT_EQ(BlockOf(m_wave), (Bytes{64, 160, 191, 128}));
    EXPECT_EQ(RecordOf(m_wave), FormatRecord(1, 2, 8000, 8));
}

// A stray byte belongs to no sample: it must not be doubled into a half sample.
TEST_F(WaveTransformTest, CopyTurnedToStereoDoublesEverySampleAndLeavesTheSourceAlone) {
    const Bytes mono = {0x07, 0x00, 0xF8, 0xFF, 0x55};
    Make(1, 16, mono);
    CWaveData copy(m_wave);
    copy.MonoToStereo();
    EXPECT_EQ(BlockOf(copy), (Bytes{0x07, 0, 0x07, 0, 0xF8, 0xFF, 0xF8, 0xFF, 0, 0}));
    EXPECT_EQ(RecordOf(copy), FormatRecord(1, 2, 8000, 16));
    EXPECT_EQ(BlockOf(m_wave), mono);
    EXPECT_EQ(RecordOf(m_wave), FormatRecord(1, 1, 8000, 16));
}

}  // namespace
