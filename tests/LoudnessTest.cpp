// The loudness measurement: the standard's own test signals within their tolerances, and to the
// bit what one libebur128 state fed the whole file in order gives, however the file is cut into
// pieces and shared between threads.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "wave/Loudness.h"
#include "wave/StreamingGain.h"
#include "wave/WaveData.h"

namespace {

using namespace testsupport;

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// Noise whose level changes every second (so that the loudness range is not 0), with a burst of
// full-scale samples of alternating sign, whose peaks lie between the samples, just before and
// after the start of the 38th piece of 1024 frames: a piece measured without the frames before
// it would find another true peak there.
std::vector<std::int16_t> Programme(std::size_t frameCount, std::uint16_t channels,
                                    std::uint32_t rate) {
    const double levels[] = {0.05, 0.3, 0.1, 0.6};
    std::vector<std::int16_t> samples(frameCount * channels);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        seed = seed * 1664525 + 1013904223;
        const double level = levels[i / channels / rate % 4];
        samples[i] = static_cast<std::int16_t>(level * (static_cast<int>(seed >> 16) - 32768));
    }
    constexpr std::size_t kStart = 1024 * 37;
    for (std::size_t frame = kStart - 5; frame < kStart + 5; ++frame) {
        for (std::size_t c = 0; c < channels; ++c) {
            const bool up = (frame + c + (frame > kStart ? 1 : 0)) % 2 == 0;
            samples[frame * channels + c] = up ? std::int16_t{32767} : std::int16_t{-32768};
        }
    }
    return samples;
}

// What one state with every mode, fed all the samples in one call, measures.
LoudnessMeasure OneState(const std::vector<std::int16_t>& samples, std::uint16_t channels,
                         std::uint32_t rate) {
    ebur128_state* state =
        ebur128_init(channels, rate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    EXPECT_EQ(ebur128_add_frames_short(state, samples.data(), samples.size() / channels),
              EBUR128_SUCCESS);
    LoudnessMeasure measure;
    for (unsigned c = 0; c < channels; ++c) {
        double peak = 0.0;
        ebur128_sample_peak(state, c, &peak);
        measure.samplePeakFraction = std::max(measure.samplePeakFraction, peak);
        ebur128_true_peak(state, c, &peak);
        measure.truePeakFraction = std::max(measure.truePeakFraction, peak);
    }
    ebur128_loudness_global(state, &measure.integratedLufs);
    ebur128_loudness_range(state, &measure.loudnessRangeLu);
    ebur128_destroy(&state);
    return measure;
}

class LoudnessTest : public testing::Test {
  protected:
    LoudnessMeasure Measure(const Bytes& file, std::size_t pieceBytes = kLoudnessPieceBytes) {
        WriteFile(m_dir.File("in.wav"), file);
        const std::optional<LoudnessMeasure> measure =
            MeasureFileLoudness(m_dir.File("in.wav").c_str(), pieceBytes);
        EXPECT_TRUE(measure.has_value());
        EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{});
        return measure.value_or(LoudnessMeasure{});
    }

    TempDir m_dir;
    MessageCapture m_messages;
};

// EBU Tech 3341's cases 1 and 2, and its true-peak case of a sine at a quarter of the rate.
TEST_F(LoudnessTest, ReadsTheStandardsTestSignalsWithinTheirTolerances) {
    for (const double level : {-23.0, -33.0}) {
        const LoudnessMeasure measure =
            Measure(SineWave16(48000, 2, 20.0, 1000.0, std::pow(10.0, level / 20.0)));
        EXPECT_NEAR(measure.integratedLufs, level, 0.1);
        EXPECT_NEAR(FractionToDecibels(measure.samplePeakFraction), level, 0.01);
        EXPECT_EQ(measure.frameCount, 960000u);
        EXPECT_EQ(measure.DurationSeconds(), 20.0);
        EXPECT_EQ(measure.channels, 2);
    }
    const LoudnessMeasure quarter =
        Measure(SineWave16(48000, 2, 5.0, 12000.0, 1.0, std::numbers::pi / 4));
    EXPECT_NEAR(FractionToDecibels(quarter.samplePeakFraction), -3.01, 0.01);
    EXPECT_NEAR(FractionToDecibels(quarter.truePeakFraction), 0.0, 0.3);
    EXPECT_EQ(quarter.ProposedPercent(), 141);
}

// The same tone as 24-bit, 32-bit, float and double samples reads as the 16-bit one does; a float
// sample that is not a number is measured as silence rather than spoiling every figure.
TEST_F(LoudnessTest, WideSamplesReadAsTheirSixteenBitForm) {
    constexpr std::uint32_t kRate = 48000;
    const double level = std::pow(10.0, -23.0 / 20.0);
    std::vector<double> tone;
    for (std::uint32_t i = 0; i < 10 * kRate; ++i) {
        const double value = level * std::sin(2.0 * std::numbers::pi * 1000.0 * i / kRate);
        tone.insert(tone.end(), {value, value});
    }
    tone[1001] = std::numeric_limits<double>::quiet_NaN();
    const auto encode = [&tone](std::uint16_t bits, bool isFloat) {
        Bytes data;
        for (const double value : tone) {
            std::uint8_t bytes[8] = {};
            if (isFloat && bits == 32) {
                const auto narrow = static_cast<float>(value);
                std::memcpy(bytes, &narrow, 4);
            } else if (isFloat) {
                std::memcpy(bytes, &value, 8);
            } else {
                const double scaled = std::isfinite(value) ? value * std::ldexp(1.0, bits - 1) : 0;
                const auto whole = static_cast<std::int64_t>(std::lround(scaled));
                for (int b = 0; b < bits / 8; ++b) {
                    bytes[b] = static_cast<std::uint8_t>(whole >> (8 * b));
                }
            }
            data.insert(data.end(), bytes, bytes + bits / 8);
        }
        return WaveFileOf(2, kRate, bits, data, isFloat ? 3 : 1);
    };
    const LoudnessMeasure reference = Measure(encode(16, false));
    for (const auto& [bits, isFloat] :
         {std::pair{24, false}, {32, false}, {32, true}, {64, true}}) {
        SCOPED_TRACE(testing::Message() << bits << " bits, float " << isFloat);
        const LoudnessMeasure wide = Measure(encode(static_cast<std::uint16_t>(bits), isFloat));
        EXPECT_NEAR(wide.integratedLufs, -23.0, 0.1);
        EXPECT_NEAR(wide.integratedLufs, reference.integratedLufs, 0.001);
        EXPECT_NEAR(FractionToDecibels(wide.truePeakFraction),
                    FractionToDecibels(reference.truePeakFraction), 0.01);
        EXPECT_EQ(wide.frameCount, reference.frameCount);
    }
}

TEST_F(LoudnessTest, GivesWhatOneStateFedTheWholeFileGives) {
    constexpr std::uint32_t kRate = 8000;
    for (const std::uint16_t channels : {std::uint16_t{1}, std::uint16_t{2}}) {
        const std::vector<std::int16_t> samples = Programme(12 * kRate, channels, kRate);
        // 8-bit samples widened as the measurement widens them.
        Bytes narrow(samples.size());
        std::vector<std::int16_t> widened(samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            narrow[i] = static_cast<std::uint8_t>((samples[i] >> 8) + 128);
            widened[i] = static_cast<std::int16_t>((narrow[i] - 128) * 256);
        }
        for (const std::size_t pieceBytes : {std::size_t{1024} * channels, kLoudnessPieceBytes}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, pieces of " << pieceBytes);
            const LoudnessMeasure expected = OneState(samples, channels, kRate);
            const LoudnessMeasure wide =
                Measure(WaveFileOf(channels, kRate, 16, Samples16(samples)), 2 * pieceBytes);
            const LoudnessMeasure expected8 = OneState(widened, channels, kRate);
            const LoudnessMeasure eightBit =
                Measure(WaveFileOf(channels, kRate, 8, narrow), pieceBytes);
            for (const auto& [got, want] : {std::pair{wide, expected}, {eightBit, expected8}}) {
                EXPECT_EQ(got.samplePeakFraction, want.samplePeakFraction);
                EXPECT_EQ(got.truePeakFraction, want.truePeakFraction);
                EXPECT_EQ(got.integratedLufs, want.integratedLufs);
                EXPECT_EQ(got.loudnessRangeLu, want.loudnessRangeLu);
                EXPECT_EQ(got.frameCount, 12u * kRate);
            }
            // The bursts are the loudest: their peaks between the samples are what is found.
            EXPECT_EQ(wide.samplePeakFraction, 1.0);
            EXPECT_GT(wide.truePeakFraction, 1.1);
            EXPECT_GT(wide.loudnessRangeLu, 5.0);
        }
    }
}

// The dialog measures the image it holds: the same figures as from the file, without a word to
// the user, and nothing once cancelled or for an image without samples.
TEST_F(LoudnessTest, AnImageInMemoryMeasuresAsItsFileQuietlyAndCanBeCancelled) {
    const Bytes file = SineWave16(44100, 2, 30.0, 1000.0, 0.5);
    const LoudnessMeasure fromFile = Measure(file);
    const CWaveData image(m_dir.File("in.wav").c_str());
    std::atomic<bool> cancel{false};
    const std::optional<LoudnessMeasure> fromImage = MeasureImageLoudness(image, cancel);
    ASSERT_TRUE(fromImage.has_value());
    EXPECT_EQ(fromImage->integratedLufs, fromFile.integratedLufs);
    EXPECT_EQ(fromImage->truePeakFraction, fromFile.truePeakFraction);
    EXPECT_EQ(fromImage->loudnessRangeLu, fromFile.loudnessRangeLu);
    EXPECT_EQ(fromImage->frameCount, fromFile.frameCount);
    cancel = true;
    EXPECT_EQ(MeasureImageLoudness(image, cancel), std::nullopt);
    cancel = false;
    EXPECT_EQ(MeasureImageLoudness(CWaveData(), cancel), std::nullopt);
    EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{});
}

TEST_F(LoudnessTest, SilenceAndSoundTooShortToGateHaveNoLoudness) {
    const LoudnessMeasure silence = Measure(WaveFileOf(2, 44100, 16, Bytes(4 * 44100, 0)));
    EXPECT_EQ(silence.integratedLufs, kMinusInfinity);
    EXPECT_EQ(FractionToDecibels(silence.samplePeakFraction), kMinusInfinity);
    EXPECT_EQ(FractionToDecibels(silence.truePeakFraction), kMinusInfinity);
    EXPECT_EQ(silence.loudnessRangeLu, 0.0);
    EXPECT_EQ(silence.ProposedPercent(), 0);

    const LoudnessMeasure brief = Measure(SineWave16(44100, 1, 0.3, 1000.0, 0.5));
    EXPECT_EQ(brief.integratedLufs, kMinusInfinity);
    EXPECT_NEAR(FractionToDecibels(brief.samplePeakFraction), -6.02, 0.01);

    const LoudnessMeasure empty = Measure(WaveFileOf(2, 44100, 16, {}));
    EXPECT_EQ(empty.frameCount, 0u);
    EXPECT_EQ(empty.integratedLufs, kMinusInfinity);
    EXPECT_EQ(GainForLoudness(silence, -23.0, -1.0), std::nullopt);
}

TEST_F(LoudnessTest, FilesThatGiveNoSamplesAreReportedAndGiveNoMeasure) {
    const std::pair<Bytes, std::string> cases[] = {
        {WaveFileOf(2, 44100, 12, Bytes(12, 1)),
         "フォーマットが違う音声ファイルを処理しようとしました。"},
        {WaveFileOf(1, 8, 16, Bytes(64, 1)),
         "この標本化周波数の音声はラウドネスを測れません (16 Hz〜2822400 Hz)。"},
    };
    for (const auto& [file, message] : cases) {
        WriteFile(m_dir.File("bad.wav"), file);
        EXPECT_EQ(MeasureFileLoudness(m_dir.File("bad.wav").c_str()), std::nullopt);
        EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{message});
        m_messages.Clear();
    }
    EXPECT_EQ(MeasureFileLoudness(m_dir.File("missing.wav").c_str()), std::nullopt);
    EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{"ファイルが見つかりませんでした。"});
}

}  // namespace
