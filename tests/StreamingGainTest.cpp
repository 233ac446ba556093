// The file gain in pieces against the whole image: for each input, reading it into a CWaveData,
// proposing, scaling and writing it must give the same percentage, the same file and the same
// messages as GainFileInPieces, including for data that spans several pieces.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "wave/StreamingGain.h"
#include "wave/WaveData.h"
#include "wave/testing/ReadFaults.h"

namespace {

using testsupport::Bytes;
using testsupport::FormatRecord;
using testsupport::RiffBuilder;
using Messages = std::vector<std::string>;

// Samples that no simple rule reproduces, so that a piece put in the wrong place shows.
Bytes Noise(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes) {
        seed = seed * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

// Floats of -1.5..1.5, some beyond full scale, as 32-bit or (doubles) 64-bit samples.
Bytes Floats(std::size_t count, bool doubles = false) {
    const Bytes noise = Noise(count, 29);
    Bytes bytes;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = (noise[i] - 127.5) / 85.0;
        std::uint8_t raw[8];
        if (doubles) {
            std::memcpy(raw, &x, 8);
        } else {
            const auto f = static_cast<float>(x);
            std::memcpy(raw, &f, 4);
        }
        bytes.insert(bytes.end(), raw, raw + (doubles ? 8 : 4));
    }
    return bytes;
}

Bytes Wave(std::uint16_t channels, std::uint16_t bits, const Bytes& data, std::uint16_t tag = 1) {
    return testsupport::WaveFileOf(channels, 22050, bits, data, tag);
}

struct Outcome {
    std::optional<int> percent;
    Bytes file;
    Messages messages;

    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* os) {
    *os << "percent " << (outcome.percent ? std::to_string(*outcome.percent) : "none") << ", "
        << outcome.file.size() << " bytes, messages " << testing::PrintToString(outcome.messages);
}

class StreamingGainTest : public testing::Test {
  protected:
    // What the dialog's Browse and Save do with the whole image.
    Outcome WholeImage(const std::string& input, std::optional<int> percent) {
        return Run([&](const char* output) -> std::optional<int> {
            CWaveData wave(input.c_str());
            if (!wave.HasSamples()) {
                return std::nullopt;
            }
            const int used = percent.value_or(ProposePercent(wave.GetPeak()));
            wave.ApplyGain(GainFactor(used));
            if (!wave.HasSamples() || !wave.Write(output)) {
                return std::nullopt;
            }
            return used;
        });
    }

    Outcome InPieces(const std::string& input, std::optional<int> percent) {
        return Run(
            [&](const char* output) { return GainFileInPieces(input.c_str(), output, percent); });
    }

    template <typename Gain>
    Outcome Run(const Gain& gain) {
        const std::string output = m_dir.File("out.wav");
        std::remove(output.c_str());
        testsupport::MessageCapture capture;
        Outcome outcome;
        outcome.percent = gain(output.c_str());
        outcome.file = testsupport::ReadFile(output);
        outcome.messages = capture.Messages();
        return outcome;
    }

    std::string Input(const Bytes& bytes) {
        const std::string path = m_dir.File("in.wav");
        testsupport::WriteFile(path, bytes);
        return path;
    }

    testsupport::TempDir m_dir;
};

TEST_F(StreamingGainTest, SameFileAndMessagesAsTheWholeImage) {
    const std::size_t piece = kPieceBytes;
    Bytes quiet = Noise(2 * piece + 6, 7);
    for (std::size_t i = 1; i < quiet.size(); i += 2) {
        quiet[i] = static_cast<std::uint8_t>(quiet[i] % 16);  // 16-bit samples below 4096
    }
    quiet[piece + 1] = 0xC0;  // the peak, -16384 or so, in the second piece
    Bytes odd = Noise(piece + 3, 11);
    Bytes unknownChunk = RiffBuilder()
                             .Chunk("fmt ", FormatRecord(1, 2, 44100, 16))
                             .Chunk("LIST", Bytes(5, 'x'), true)
                             .Chunk("data", Noise(1000, 3))
                             .Build();
    Bytes truncated = Wave(1, 16, Noise(100, 5));
    truncated.resize(truncated.size() - 1);
    const std::tuple<const char*, Bytes> inputs[] = {
        {"16-bit stereo over three pieces", Wave(2, 16, quiet)},
        {"16-bit mono, odd length", Wave(1, 16, odd)},
        {"8-bit over two pieces", Wave(1, 8, Noise(piece + 5, 13))},
        {"8-bit silence", Wave(2, 8, Bytes(64, 128))},
        {"empty data", Wave(2, 16, {})},
        {"unknown chunk", unknownChunk},
        {"truncated", truncated},
        {"24-bit, a partial sample at the end", Wave(2, 24, Noise(31, 17))},
        // Pieces of whole frames, the dither continued from one to the next.
        {"24-bit stereo over three pieces", Wave(2, 24, Noise(2 * piece + 600, 19))},
        {"32-bit mono over two pieces", Wave(1, 32, Noise(piece + 4000, 23))},
        {"32-bit float over two pieces", Wave(2, 32, Floats(piece / 4 + 1001), 3)},
        {"64-bit float", Wave(1, 64, Floats(5000, true), 3)},
    };
    for (const auto& [what, bytes] : inputs) {
        const std::string input = Input(bytes);
        for (const std::optional<int> percent : {std::optional<int>(), std::optional<int>(250)}) {
            SCOPED_TRACE(std::string(what) + (percent ? ", 250%" : ", proposed"));
            const Outcome whole = WholeImage(input, percent);
            EXPECT_EQ(InPieces(input, percent), whole);
            if (!percent) {
                EXPECT_EQ(ProposeFilePercent(input.c_str()), whole.percent);
            }
        }
    }
}

// A read that fails part-way through the data, in a piece of either gain thread or in the peak
// pass: the file gain stops with the message that the whole image gives, and leaves neither an
// output nor a temporary file behind.
TEST_F(StreamingGainTest, ReadFailingPartWayGivesOneMessageAndNoFile) {
    const std::uint64_t dataOffset = Wave(2, 16, {}).size();
    const std::tuple<const char*, Bytes> inputs[] = {
        {"16-bit", Wave(2, 16, Noise(6 * kPieceBytes + 8, 31))},
        {"24-bit", Wave(2, 24, Noise(6 * kPieceBytes + 12, 37))},
    };
    for (const auto& [what, bytes] : inputs) {
        const std::string input = Input(bytes);
        for (const std::uint64_t piece : {0U, 3U, 4U}) {
            for (const std::optional<int> percent : {std::optional<int>(), std::optional(250)}) {
                SCOPED_TRACE(std::string(what) + ", piece " + std::to_string(piece) +
                             (percent ? ", 250%" : ", proposed"));
                faults::FailReadsFrom(dataOffset + piece * kPieceBytes + 1000);
                const Outcome inPieces = InPieces(input, percent);
                const Outcome whole = WholeImage(input, percent);
                faults::FailReadsFrom(std::nullopt);
                // The notice that wide samples are narrowed may come first.
                ASSERT_FALSE(inPieces.messages.empty());
                EXPECT_EQ(inPieces.messages.back(), whole.messages.at(0));
                EXPECT_FALSE(inPieces.percent || whole.percent);
                EXPECT_TRUE(inPieces.file.empty());
                EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Path()),
                                        std::filesystem::directory_iterator()),
                          1);
            }
        }
    }
}

}  // namespace
