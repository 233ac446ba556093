// The reading constructor: which chunk layouts give the samples, what is passed over silently,
// what is reported, and that a damaged or refused file never gives samples. Every message is
// compared word for word.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using testsupport::BlockOf;
using testsupport::Bytes;
using testsupport::FormatRecord;
using testsupport::RecordOf;
using testsupport::RiffBuilder;

using Messages = std::vector<std::string>;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";

Messages Notices(const std::vector<const char*>& tags) {
    Messages notices;
    for (const char* tag : tags) {
        notices.push_back("不明なタグが検出されました。処理は継続可能です。 [" + std::string(tag) +
                          "]");
    }
    return notices;
}

const Bytes kStereo = FormatRecord(1, 2, 44100, 16);
const Bytes kSamples = testsupport::Samples16({1, -2, 32767, -32768, 300, -300});
const Bytes j6(6, 'j');

Bytes Cat(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A WAVE_FORMAT_EXTENSIBLE record whose sub-format GUID starts with subFormat (1 PCM, 3 float).
Bytes Extensible(std::uint16_t channels, std::uint16_t bits, std::uint8_t subFormat) {
    Bytes record = FormatRecord(0xFFFE, channels, 44100, bits);
    testsupport::AppendLE16(record, 22);
    testsupport::AppendLE16(record, bits);
    testsupport::AppendLE32(record, 3);
    return Cat(record, {subFormat, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
}

// One chunk: its id, its body, and its size field where that is to disagree with the body
// (kPad: the body's own size, followed by a pad byte when that is odd).
constexpr std::int64_t kPad = -1;
struct Chunk {
    const char* id;
    Bytes body;
    std::int64_t size = -2;
};

Bytes File(const std::vector<Chunk>& chunks) {
    RiffBuilder builder;
    for (const Chunk& c : chunks) {
        if (c.size >= 0) {
            builder.ChunkWithSize(c.id, static_cast<std::uint32_t>(c.size), c.body);
        } else {
            builder.Chunk(c.id, c.body, c.size == kPad);
        }
    }
    return builder.Build();
}

Bytes Fmt(const Bytes& format, const Bytes& data = kSamples) {
    return File({{"fmt ", format}, {"data", data}});
}

// The stereo format chunk with chunks before it, then chunks between it and the data chunk.
Bytes Around(std::vector<Chunk> before, const std::vector<Chunk>& between = {}) {
    before.push_back({"fmt ", kStereo});
    before.insert(before.end(), between.begin(), between.end());
    before.push_back({"data", kSamples});
    return File(before);
}

class WaveReaderTest : public testing::Test {
  protected:
    // Writes bytes to a fresh file and reads it; the messages start empty for each load.
    std::unique_ptr<CWaveData> Load(const Bytes& bytes) {
        const std::string path = m_dir.File("in" + std::to_string(m_files++) + ".wav");
        testsupport::WriteFile(path, bytes);
        m_messages.Clear();
        return std::make_unique<CWaveData>(path.c_str());
    }

    Messages Shown() const { return m_messages.Messages(); }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
    int m_files = 0;
};

TEST_F(WaveReaderTest, PlainFileFillsEveryField) {
    const auto wave = Load(Around({}));
    EXPECT_EQ(Shown(), Messages{});
    EXPECT_EQ(RecordOf(*wave), kStereo);
    EXPECT_EQ(BlockOf(*wave), kSamples);
    const std::uint32_t size = 12;
    EXPECT_EQ(
        (std::vector<std::uint32_t>{wave->m_riffId, wave->m_riffSize, wave->m_waveId, wave->m_fmtId,
                                    wave->m_fmtSize, wave->m_dataId, wave->m_dataSize,
                                    wave->m_sampleBytes}),
        (std::vector<std::uint32_t>{MakeChunkId("RIFF"), 36 + size, MakeChunkId("WAVE"),
                                    MakeChunkId("fmt "), 16, MakeChunkId("data"), size, size}));
}

TEST_F(WaveReaderTest, LayoutsThatGiveTheSamples) {
    struct Case {
        const char* what;
        Bytes file;
        std::vector<const char*> notices;
        Bytes samples = kSamples;
        Bytes format = kStereo;
    };
    // Every skip-list chunk twice over, not in list order, with odd and even sizes.
    std::vector<Chunk> skipList;
    for (int round = 0; round < 2; ++round) {
        for (const char* id : {"umid", "ovwf", "regn", "elmo", "pad ", "sav1", "vphd", "elm1",
                               "minf", "bext", "PAD "}) {
            skipList.push_back({id, Bytes(skipList.size() % 7, 0x5A)});
        }
    }
    const Bytes odd = {1, 2, 3};
    const std::vector<Case> cases = {
        {"RIFF size 0, more after data",
         RiffBuilder().Chunk("fmt ", kStereo).Chunk("data", kSamples).Chunk("LIST", j6).Build(0),
         {}},
        // The scan goes on after the size the chunk gives, even where the bytes spell "data".
        {"24-byte format chunk", Fmt(Cat(kStereo, {'d', 'a', 't', 'a', 2, 0, 0, 0})), {}},
        // The sixteenth record byte is zero and stands where a pad byte would.
        {"format size field 15", File({{"fmt ", kStereo, 15}, {"data", kSamples}}), {}},
        // The whole record is still taken; its last two bytes (10 00) start a chunk of their own.
        {"format size field 14",
         File({{"fmt ", Cat(kStereo, {'x', 'x', 0, 0, 0, 0}), 14}, {"data", kSamples}}),
         {"?"}},
        {"leading chunks", Around({{"PAD ", j6}, {"bext", j6}, {"minf", j6}, {"elm1", j6}}), {}},
        {"fact, then skip list", Around({}, {{"fact", {1, 0, 0, 0}}, {"pad ", j6}}), {}},
        {"skip list in any order and number", Around({}, skipList), {}},
        // No chunk id starts with a zero byte, so pad bytes may be there or not.
        {"odd chunks without pad bytes", Around({{"bext", {1}}}, {{"umid", odd}}), {}},
        {"padded", Around({{"PAD ", {1}, kPad}, {"bext", odd, kPad}}, {{"elmo", {1}, kPad}}), {}},
        {"padded format", File({{"fmt ", Cat(kStereo, {0x7F}), kPad}, {"data", kSamples}}), {}},
        {"empty data chunk", Fmt(kStereo, {}), {}, {}},
        // Taken as tag 1: the file written back holds a 16-byte record without the extension.
        {"extensible PCM", Fmt(Extensible(2, 16, 1)), {}},
        {"smallest format", Fmt(FormatRecord(1, 1, 1, 8), {1}), {}, {1}, FormatRecord(1, 1, 1, 8)},
        {"second format chunk", Around({}, {{"fmt ", FormatRecord(1, 1, 8000, 8)}}), {"fmt "}},
        {"fact after a skipped chunk", Around({}, {{"umid", j6}, {"fact", Bytes(8, 1)}}), {"fact"}},
        {"every chunk from the first unknown one",
         Around({}, {{"umid", j6}, {"LIST", j6}, {"bext", j6}, {"PAD ", {}}, {"cue ", j6}}),
         {"LIST", "bext", "PAD ", "cue "}},
        {"reported odd chunks", Around({}, {{"junk", odd, kPad}, {"LIST", {1}}}), {"junk", "LIST"}},
        {"unprintable ids", Around({}, {{"\x1B[\x7F\xE3", {}}, {"a b~", {}}}), {"?[??", "a b~"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto wave = Load(c.file);
        EXPECT_EQ(Shown(), Notices(c.notices));
        ASSERT_TRUE(wave->HasSamples());
        EXPECT_EQ(BlockOf(*wave), c.samples);
        EXPECT_EQ(RecordOf(*wave), c.format);
    }
}

TEST_F(WaveReaderTest, LayoutsThatGiveNoSamples) {
    Bytes riffx = Around({});
    riffx[3] = 'X';
    Bytes lowerWave = Around({});
    lowerWave[8] = 'w';
    const Bytes ext = Extensible(2, 16, 1);
    const Bytes guidBehindTheChunk = RiffBuilder()
                                         .Chunk("fmt ", Bytes(ext.begin(), ext.begin() + 24))
                                         .Raw(Bytes(ext.begin() + 24, ext.end()))
                                         .Chunk("data", kSamples)
                                         .Build();
    // Anything but 8- or 16-bit PCM, mono or stereo, would be scaled as if it were 16-bit PCM and
    // saved as loud noise.
    const Messages wrong = {kWrongFormat};
    const Messages fmt = Notices({"fmt "});
    const Messages data = Notices({"data"});
    const struct {
        const char* what;
        Bytes file;
        Messages shown;
    } cases[] = {
        {"RIFX", riffx, Notices({"RIFF"})},
        {"wAVE", lowerWave, Notices({"WAVE"})},
        // Leading chunks are passed over once each and in their order only.
        {"leading chunks out of order", Around({{"minf", j6}, {"bext", j6}}), fmt},
        {"leading chunk twice", Around({{"bext", j6}, {"bext", j6}}), fmt},
        {"PAD twice", Around({{"PAD ", j6}, {"PAD ", j6}}), fmt},
        {"skip-list chunk first", Around({{"umid", j6}}), fmt},
        {"data before the format", File({{"data", kSamples}, {"fmt ", kStereo}}), fmt},
        {"fact of 8 bytes", Around({}, {{"fact", Bytes(8, 1)}}), Notices({"fact"})},
        {"fact body cut off", File({{"fmt ", kStereo}, {"fact", {}, 4}}), data},
        {"no data chunk", File({{"fmt ", kStereo}, {"LIST", j6}}), Notices({"LIST", "data"})},
        {"pad byte ends the file", File({{"fmt ", kStereo}, {"umid", {1, 2, 3}, kPad}}), data},
        {"data larger than the file", File({{"fmt ", kStereo}, {"data", kSamples, 100}}), data},
        {"data size 0xFFFFFFFF", File({{"fmt ", kStereo}, {"data", kSamples, 0xFFFFFFFF}}), data},
        {"format size past the end", File({{"fmt ", kStereo, 0xFFFFFFFF}, {"data", kSamples}}),
         data},
        {"skipped chunk past the end", Around({}, {{"umid", {0, 0}, 0xFFFFFFFE}}), data},
        {"reported chunk past the end", Around({}, {{"junk", {0, 0}, 0xFFFFFFFF}}),
         Notices({"junk", "data"})},
        {"a-law", Fmt(FormatRecord(6, 1, 8000, 8)), wrong},
        {"24-bit", Fmt(FormatRecord(1, 2, 48000, 24)), wrong},
        {"no channels", Fmt(FormatRecord(1, 0, 44100, 16)), wrong},
        {"three channels", Fmt(FormatRecord(1, 3, 44100, 16)), wrong},
        {"rate 0", Fmt(FormatRecord(1, 2, 0, 16)), wrong},
        {"extensible without its extension", Fmt(FormatRecord(0xFFFE, 2, 44100, 16)), wrong},
        {"extensible, not PCM", Fmt(Extensible(2, 16, 3)), wrong},
        {"extensible 24-bit PCM", Fmt(Extensible(2, 24, 1)), wrong},
        // The GUID counts only inside the format chunk.
        {"GUID behind a 24-byte chunk", guidBehindTheChunk, wrong},
        {"file ends inside the extension",
         File({{"fmt ", Bytes(ext.begin(), ext.begin() + 30), 40}}), wrong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto wave = Load(c.file);
        EXPECT_EQ(Shown(), c.shown);
        EXPECT_FALSE(wave->HasSamples());
        EXPECT_EQ(wave->m_sampleBytes, 0u);
    }
}

TEST_F(WaveReaderTest, PathThatDoesNotOpenShowsFileNotFound) {
    for (const std::string& path : {m_dir.File("missing.wav"), m_dir.Path()}) {
        SCOPED_TRACE(path);
        m_messages.Clear();
        const CWaveData wave(path.c_str());
        EXPECT_EQ(Shown(), Messages{kNotFound});
        EXPECT_FALSE(wave.HasSamples());
    }
}

// The notice names the first piece of the file that is missing; the reader never looks past the
// end of what it read.
TEST_F(WaveReaderTest, EveryTruncationEndsWithoutSamplesAndOneNotice) {
    const Bytes file = Around({});
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        const auto wave = Load(Bytes(file.begin(), file.begin() + static_cast<long>(length)));
        const char* tag = length < 8    ? "RIFF"
                          : length < 12 ? "WAVE"
                          : length < 36 ? "fmt "
                                        : "data";
        EXPECT_EQ(Shown(), Notices({tag}));
        EXPECT_FALSE(wave->HasSamples());
        EXPECT_EQ(wave->m_sampleBytes, 0u);
    }
}

TEST(WaveMessagesTest, ReportTagShowsPrintableCharactersOnly) {
    testsupport::MessageCapture capture;
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\x1b]0;\x07");
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\x01\x02");
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\xff\x80 }");
    // Another code gives the bracketed tag alone.
    CWaveData::ReportTag(CWaveData::kMsgFileNotFound, "LIST");
    CWaveData::ReportTag(99, "fmt ");
    Messages expected = Notices({"?]0;", "??", "?? }"});
    expected.insert(expected.end(), {" [LIST]", " [fmt ]"});
    EXPECT_EQ(capture.Messages(), expected);
}

TEST(WaveMessagesTest, ShowMessageShowsTheNumberedText) {
    testsupport::MessageCapture capture;
    for (const std::uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 0xFFFFFFFFu}) {
        CWaveData::ShowMessage(code);
    }
    // Codes beyond the table show an empty message instead of reading past its end.
    EXPECT_EQ(
        capture.Messages(),
        (Messages{kNotFound, "不明なタグが検出されました。", "ファイルが開けませんでした。",
                  kWrongFormat, "ビット数を変更しました。", "ファイルを保存できませんでした。",
                  "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。", "", ""}));
}

}  // namespace
