// The reading constructor: which chunk layouts give the samples, which none, and what is shown.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using testsupport::Bytes;
using testsupport::FormatRecord;
using Messages = std::vector<std::string>;

const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";

std::string Notice(const char* tag) {
    return "不明なタグが検出されました。処理は継続可能です。 [" + std::string(tag) + "]";
}

const Bytes kStereo = FormatRecord(1, 2, 44100, 16);
const Bytes kSamples = testsupport::Samples16({1, -2, 32767, -32768, 300, -300});
const Bytes j6(6, 'j');

// A 16-bit stereo WAVE_FORMAT_EXTENSIBLE record; its sub-format GUID starts with subFormat.
Bytes Extensible(std::uint8_t subFormat) {
    Bytes record = FormatRecord(0xFFFE, 2, 44100, 16);
    record.insert(record.end(), {22, 0, 16,   0, 3,    0, 0, 0,    subFormat, 0,    0,    0,
                                 0,  0, 0x10, 0, 0x80, 0, 0, 0xAA, 0,         0x38, 0x9B, 0x71});
    return record;
}

using Chunk = std::pair<const char*, Bytes>;

// The chunks before and after the format chunk (odd ones padded), then the data chunk.
Bytes File(std::vector<Chunk> before, const std::vector<Chunk>& between = {},
           const Bytes& format = kStereo, std::uint32_t dataSize = 12) {
    testsupport::RiffBuilder builder;
    before.push_back({"fmt ", format});
    before.insert(before.end(), between.begin(), between.end());
    for (const auto& [id, body] : before) {
        builder.Chunk(id, body, true);
    }
    return builder.ChunkWithSize("data", dataSize, kSamples).Build();
}

using Case = std::tuple<const char*, Bytes, Messages>;  // what, file, messages shown

class WaveReaderTest : public testing::Test {
  protected:
    bool LoadGivesSamples(const Bytes& bytes) {
        const std::string path = m_dir.File("in.wav");
        testsupport::WriteFile(path, bytes);
        m_messages.Clear();
        const CWaveData wave(path.c_str());
        if (wave.HasSamples()) {
            EXPECT_EQ(testsupport::BlockOf(wave), kSamples);
            EXPECT_EQ(testsupport::RecordOf(wave), kStereo);
        }
        EXPECT_EQ(wave.m_sampleBytes, wave.HasSamples() ? kSamples.size() : 0u);
        return wave.HasSamples();
    }

    void Run(const std::vector<Case>& cases, bool givesSamples) {
        for (const auto& [what, file, shown] : cases) {
            SCOPED_TRACE(what);
            EXPECT_EQ(LoadGivesSamples(file), givesSamples);
            EXPECT_EQ(m_messages.Messages(), shown);
        }
    }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
};

TEST_F(WaveReaderTest, LayoutsThatGiveTheSamples) {
    Run({{"odd chunks and pad bytes", File({{"bext", {1}}}, {{"umid", {1, 2, 3}}}), {}},
         {"skip, fact", File({{"PAD ", {}}}, {{"fact", {1, 0, 0, 0}}, {"minf", {}}}), {}},
         {"extensible PCM", File({}, {}, Extensible(1)), {}},
         {"unknown", File({}, {{"LIST", {}}, {"bext", {}}}), {Notice("LIST"), Notice("bext")}}},
        true);
}

TEST_F(WaveReaderTest, LayoutsThatGiveNoSamples) {
    Bytes riffx = File({});
    riffx[3] = 'X';
    Run({{"RIFX", riffx, {Notice("RIFF")}},
         {"leading chunks out of order", File({{"minf", j6}, {"bext", j6}}), {Notice("fmt ")}},
         {"fact of 8 bytes", File({}, {{"fact", Bytes(8, 1)}}), {Notice("fact")}},
         {"data past the end", File({}, {}, kStereo, 0xFFFFFFFF), {Notice("data")}},
         {"a-law", File({}, {}, FormatRecord(6, 1, 8000, 8)), {kWrongFormat}},
         {"24-bit", File({}, {}, FormatRecord(1, 2, 48000, 24)), {kWrongFormat}},
         {"extensible float", File({}, {}, Extensible(3)), {kWrongFormat}}},
        false);
}

// The notice names the first piece of the file that is missing.
TEST_F(WaveReaderTest, EveryTruncationGivesNoSamplesAndOneNotice) {
    const Bytes file = File({});
    const char* pieces[] = {"RIFF", "WAVE", "fmt ", "data"};
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(LoadGivesSamples(Bytes(file.data(), file.data() + length)));
        const char* tag = pieces[(length >= 8) + (length >= 12) + (length >= 36)];
        EXPECT_EQ(m_messages.Messages(), Messages{Notice(tag)});
    }
}

TEST(WaveMessagesTest, ReportTagReplacesUnprintableBytesAndShowMessageTheNumberedText) {
    testsupport::MessageCapture capture;
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\x1b]\xff}");
    EXPECT_EQ(capture.Messages(), Messages{Notice("?]?}")});
    capture.Clear();
    for (const std::uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
        CWaveData::ShowMessage(code);
    }
    EXPECT_EQ(
        capture.Messages(),
        (Messages{"ファイルが見つかりませんでした。", "不明なタグが検出されました。",
                  "ファイルが開けませんでした。", kWrongFormat, "ビット数を変更しました。",
                  "ファイルを保存できませんでした。",
                  "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。", ""}));
}

}  // namespace
