// The reading constructor: which chunk layouts give the samples, which none, and what is shown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
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

// kStereo's record with its block align or byte rate replaced, and a 16-bit stereo extensible
// record and its fields.
Bytes WithBlockAlign(const Bytes& record, std::uint16_t blockAlign) {
    return testsupport::Patched(record, 12, blockAlign, 2);
}
Bytes Extensible(std::uint16_t subFormat, std::uint16_t validBits = 16) {
    return testsupport::ExtensibleRecord(2, 44100, 16, validBits, subFormat);
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
    // Odd chunks as some writers leave them, without the pad byte: the byte after the body is
    // the next chunk's first, not a pad byte to pass over.
    const Bytes unpadded = testsupport::RiffBuilder()
                               .Chunk("bext", {1})
                               .Chunk("fmt ", kStereo)
                               .Chunk("umid", {1, 2, 3})
                               .Chunk("data", kSamples)
                               .Build();
    Run({{"odd chunks and pad bytes", File({{"bext", {1}}}, {{"umid", {1, 2, 3}}}), {}},
         {"odd chunks without pad bytes", unpadded, {}},
         {"skip, fact", File({{"PAD ", {}}}, {{"fact", {1, 0, 0, 0}}, {"minf", {}}}), {}},
         {"extensible PCM", File({}, {}, Extensible(1)), {}},
         {"extensible PCM, 12 valid bits", File({}, {}, Extensible(1, 12)), {}},
         {"unknown", File({}, {{"LIST", {}}, {"bext", {}}}), {Notice("LIST"), Notice("bext")}},
         // The byte rate that the layout gives is kept: 44100 x 4.
         {"byte rate that disagrees",
          File({}, {}, testsupport::Patched(kStereo, 8, 3000000000u, 4)),
          {}}},
        true);
}

// Each distinct id is reported once, at most three, and the rest summed up in one notice.
TEST_F(WaveReaderTest, NoticesAboutUnknownChunksAreBounded) {
    // Built in place: copying 100000 chunks with empty bodies makes GCC 12 at -O3 warn of a copy
    // to null that cannot happen.
    testsupport::RiffBuilder many;
    many.Chunk("fmt ", kStereo).Chunk("LIST", {}).Chunk("LIST", {1}, true);
    for (int i = 0; i < 100000; ++i) {
        many.Chunk(i % 2 == 0 ? "JUNK" : "junk", {});
    }
    many.Chunk("last", {}).ChunkWithSize("data", 12, kSamples);
    Run({{"many",
          many.Build(),
          {Notice("LIST"), Notice("JUNK"), Notice("junk"),
           "不明なタグが検出されました。処理は継続可能です。 [ほか 100000 個]"}},
         {"two",
          File({}, {{"abcd", {}}, {"abcd", {}}}),
          {Notice("abcd"), "不明なタグが検出されました。処理は継続可能です。 [ほか 1 個]"}}},
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
         {"24-bit, three channels", File({}, {}, FormatRecord(1, 3, 48000, 24)), {kWrongFormat}},
         {"12-bit", File({}, {}, FormatRecord(1, 2, 48000, 12)), {kWrongFormat}},
         {"16-bit float", File({}, {}, FormatRecord(3, 2, 48000, 16)), {kWrongFormat}},
         {"extensible 16-bit float", File({}, {}, Extensible(3)), {kWrongFormat}},
         {"extensible ADPCM", File({}, {}, Extensible(2)), {kWrongFormat}},
         {"extensible, 17 valid bits", File({}, {}, Extensible(1, 17)), {kWrongFormat}},
         {"extensible, no valid bits", File({}, {}, Extensible(1, 0)), {kWrongFormat}},
         {"extensible, cbSize 0",
          File({}, {}, testsupport::Patched(Extensible(1), 16, 0, 2)),
          {kWrongFormat}},
         {"8-bit, align 40000",
          File({}, {}, WithBlockAlign(FormatRecord(1, 2, 8000, 8), 40000)),
          {kWrongFormat}},
         // 2^30 frames a second: 2^32 bytes a second once widened to 16-bit stereo.
         {"rate past 32 bits", File({}, {}, FormatRecord(1, 1, 1u << 30, 8)), {kWrongFormat}},
         // 2^29 frames a second: 2^32 bytes a second once doubled into 32-bit stereo.
         {"32-bit rate past 32 bits",
          File({}, {}, FormatRecord(3, 1, 1u << 29, 32)),
          {kWrongFormat}}},
        false);
    for (const int blockAlign : {0, 1, 3, 2, 1000, 65535}) {
        SCOPED_TRACE(blockAlign);
        EXPECT_FALSE(LoadGivesSamples(
            File({}, {}, WithBlockAlign(kStereo, static_cast<std::uint16_t>(blockAlign)))));
        EXPECT_EQ(m_messages.Messages(), Messages{kWrongFormat});
    }
}

// What is not a regular file is refused at once (a FIFO without a writer would hold the read for
// ever), and the message says what it is and which file.
TEST_F(WaveReaderTest, WhatIsNotARegularFileIsRefusedWithAMessageThatFits) {
    using testsupport::ShownMessage;
    const std::string fifo = m_dir.File("fifo.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer keeps a reader that would wait for one from hanging the test; the command-line
    // tests show that none is needed.
    const int fifoWriter = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    const std::string locked = m_dir.File("locked.wav");
    testsupport::WriteFile(locked, File({}));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    const std::string kNotRegular = "通常のファイルではないため、開けませんでした。";
    const std::tuple<std::string, ShownMessage> cases[] = {
        {m_dir.Path(), {"フォルダーのため、開けませんでした。", m_dir.Path(), 0}},
        {"/dev/null", {kNotRegular, "/dev/null", 0}},
        {fifo, {kNotRegular, fifo, 0}},
        {m_dir.File("none.wav"), {"ファイルが見つかりませんでした。", m_dir.File("none.wav"), 0}},
        {m_dir.File("none/x.wav"),
         {"ファイルが見つかりませんでした。", m_dir.File("none/x.wav"), 0}},
        {locked, {"ファイルが開けませんでした。", locked, EACCES}},
    };
    for (const auto& [path, shown] : cases) {
        SCOPED_TRACE(path);
        m_messages.Clear();
        // Root may read a file of mode 000: the read is made as another user, in a child.
        if (path == locked && ::geteuid() == 0) {
            constexpr uid_t kNobody = 65534;
            EXPECT_EXIT(
                {
                    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                        std::_Exit(2);
                    }
                    const CWaveData wave(path.c_str());
                    const bool asExpected =
                        !wave.HasSamples() &&
                        m_messages.Details() == std::vector<ShownMessage>{shown};
                    std::_Exit(asExpected ? 0 : 1);
                },
                testing::ExitedWithCode(0), "");
            continue;
        }
        const CWaveData wave(path.c_str());
        EXPECT_FALSE(wave.HasSamples());
        EXPECT_EQ(m_messages.Details(), std::vector<ShownMessage>{shown});
    }
    ::close(fifoWriter);
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
    for (const std::uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u}) {
        CWaveData::ShowMessage(code);
    }
    EXPECT_EQ(capture.Messages(),
              (Messages{"ファイルが見つかりませんでした。", "不明なタグが検出されました。",
                        "ファイルが開けませんでした。", kWrongFormat, "ビット数を変更しました。",
                        "ファイルを保存できませんでした。",
                        "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。",
                        "フォルダーのため、開けませんでした。",
                        "通常のファイルではないため、開けませんでした。", ""}));
}

}  // namespace
