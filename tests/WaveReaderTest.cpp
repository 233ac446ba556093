// The reading constructor: the chunk grammar it accepts, what it passes over, what it reports and
// where it stops. Every file is built in memory, written to a temporary folder and read back; every
// message the user would see is captured and compared word for word.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

using testsupport::AppendId;
using testsupport::AppendLE16;
using testsupport::AppendLE32;
using testsupport::Bytes;
using testsupport::FormatRecord;
using testsupport::RiffBuilder;
using testsupport::Samples16;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";

std::string Notice(std::string_view tag) {
    return "不明なタグが検出されました。処理は継続可能です。 [" + std::string(tag) + "]";
}

using Messages = std::vector<std::string>;

std::uint32_t IdOf(std::string_view id) {
    Bytes bytes;
    AppendId(bytes, id);
    return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24);
}

Bytes SampleBytesOf(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        return {};
    }
    return Bytes(wave.m_pSamples.get(), wave.m_pSamples.get() + wave.m_sampleBytes);
}

// Sixteen-bit stereo at 44100 frames per second: the format most files in the tests use.
Bytes StereoFormat() {
    return FormatRecord(1, 2, 44100, 16);
}

const Bytes kSamples = Samples16({1, -2, 32767, -32768, 300, -300});

Bytes Concat(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The WAVE_FORMAT_EXTENSIBLE record: the PCM record with tag 0xFFFE, its extra size (22), valid
// bits, channel mask and the sub-format GUID as stored in a file.
Bytes ExtensibleRecord(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                       const Bytes& subFormat) {
    Bytes record = FormatRecord(0xFFFE, channels, rate, bits);
    AppendLE16(record, 22);
    AppendLE16(record, bits);
    AppendLE32(record, channels == 1 ? 0x4u : 0x3u);
    return Concat(record, subFormat);
}

const Bytes kPcmSubFormat = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const Bytes kFloatSubFormat = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

class WaveReaderTest : public testing::Test {
  protected:
    // Writes bytes to a fresh file and reads it; the messages shown start empty for each load.
    std::unique_ptr<CWaveData> Load(const Bytes& bytes) {
        const std::string path = m_dir.File("in" + std::to_string(m_files++) + ".wav");
        testsupport::WriteFile(path, bytes);
        m_messages.Clear();
        return std::make_unique<CWaveData>(path.c_str());
    }

    Messages Shown() const { return m_messages.Messages(); }

    // A read that took the data chunk: no message and exactly the samples of the file.
    void ExpectSamplesReadSilently(const CWaveData& wave, const Bytes& samples) {
        EXPECT_EQ(Shown(), Messages{});
        ExpectSamples(wave, samples);
    }

    static void ExpectSamples(const CWaveData& wave, const Bytes& samples) {
        ASSERT_TRUE(wave.HasSamples());
        EXPECT_EQ(wave.m_sampleBytes, samples.size());
        EXPECT_EQ(wave.m_dataSize, samples.size());
        EXPECT_EQ(wave.m_dataId, MakeChunkId("data"));
        EXPECT_EQ(SampleBytesOf(wave), samples);
    }

    static void ExpectNoSamples(const CWaveData& wave) {
        EXPECT_FALSE(wave.HasSamples());
        EXPECT_EQ(wave.m_sampleBytes, 0u);
    }

    static void ExpectStereoFormat(const CWaveData& wave) {
        EXPECT_EQ(wave.m_formatTag, 1);
        EXPECT_EQ(wave.m_channels, 2);
        EXPECT_EQ(wave.m_samplesPerSec, 44100u);
        EXPECT_EQ(wave.m_avgBytesPerSec, 176400u);
        EXPECT_EQ(wave.m_blockAlign, 4);
        EXPECT_EQ(wave.m_bitsPerSample, 16);
    }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
    int m_files = 0;
};

TEST_F(WaveReaderTest, PlainFileFillsEveryFieldWithoutAMessage) {
    const Bytes file = RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", kSamples).Build();
    auto wave = Load(file);

    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_riffId, MakeChunkId("RIFF"));
    EXPECT_EQ(wave->m_riffSize, file.size() - 8);
    EXPECT_EQ(wave->m_waveId, MakeChunkId("WAVE"));
    EXPECT_EQ(wave->m_fmtId, MakeChunkId("fmt "));
    EXPECT_EQ(wave->m_fmtSize, 16u);
    ExpectStereoFormat(*wave);

    const Bytes mono8 = {0, 128, 255, 7, 9};
    auto small =
        Load(RiffBuilder().Chunk("fmt ", FormatRecord(1, 1, 8000, 8)).Chunk("data", mono8).Build());
    ExpectSamplesReadSilently(*small, mono8);
    EXPECT_EQ(small->m_channels, 1);
    EXPECT_EQ(small->m_samplesPerSec, 8000u);
    EXPECT_EQ(small->m_avgBytesPerSec, 8000u);
    EXPECT_EQ(small->m_blockAlign, 1);
    EXPECT_EQ(small->m_bitsPerSample, 8);
}

TEST_F(WaveReaderTest, RiffSizeFieldAndWhatFollowsTheDataChangeNothing) {
    const RiffBuilder builder = RiffBuilder()
                                    .Chunk("fmt ", StereoFormat())
                                    .Chunk("data", kSamples)
                                    .Chunk("LIST", Bytes(10, 'x'))
                                    .Raw({0xFF, 0x01, 0x02});
    for (const std::uint32_t riffSize : {0u, 4u, 12345u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(riffSize);
        auto wave = Load(builder.Build(riffSize));
        ExpectSamplesReadSilently(*wave, kSamples);
        EXPECT_EQ(wave->m_riffSize, riffSize);
        ExpectStereoFormat(*wave);
    }
}

TEST_F(WaveReaderTest, FormatChunkLongerThanSixteenBytes) {
    // An 18-byte chunk with its extra-size field: the record is its first sixteen bytes and the
    // scan goes on 26 bytes after the chunk's start.
    Bytes body = StereoFormat();
    AppendLE16(body, 0);
    auto wave = Load(RiffBuilder().Chunk("fmt ", body).Chunk("data", kSamples).Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 18u);
    ExpectStereoFormat(*wave);

    // Extension bytes that spell "data" must not be taken for the data chunk.
    body = Concat(StereoFormat(), {'d', 'a', 't', 'a', 0x02, 0x00, 0x00, 0x00});
    wave = Load(RiffBuilder().Chunk("fmt ", body).Chunk("data", kSamples).Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 24u);
}

TEST_F(WaveReaderTest, FormatSizeFieldBelowSixteenStillFillsTheWholeRecord) {
    // Size field 14: all sixteen record bytes are taken, and the scan goes on 14 bytes into the
    // body, where the last two record bytes (bits 16 = 10 00) start a chunk of its own. Its id
    // holds a zero byte and a control character, so the notice shows "?" for it.
    Bytes raw = StereoFormat();
    raw.push_back('x');
    raw.push_back('x');
    AppendLE32(raw, 0);
    auto wave = Load(RiffBuilder().ChunkWithSize("fmt ", 14, raw).Chunk("data", kSamples).Build());
    EXPECT_EQ(Shown(), Messages{Notice("?")});
    ExpectSamples(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 14u);
    ExpectStereoFormat(*wave);

    // Size field 15: the sixteenth byte (the high byte of the bit count) is zero and stands where
    // the pad byte of an odd-sized chunk would, so it is passed over and the data follows.
    wave = Load(
        RiffBuilder().ChunkWithSize("fmt ", 15, StereoFormat()).Chunk("data", kSamples).Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 15u);
    ExpectStereoFormat(*wave);
}

TEST_F(WaveReaderTest, LeadingChunksArePassedOverOnceEachInTheirOrder) {
    const Bytes junk(6, 'j');
    auto wave = Load(RiffBuilder()
                         .Chunk("PAD ", junk)
                         .Chunk("bext", junk)
                         .Chunk("minf", junk)
                         .Chunk("elm1", junk)
                         .Chunk("fmt ", StereoFormat())
                         .Chunk("data", kSamples)
                         .Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    ExpectStereoFormat(*wave);

    for (const char* id : {"PAD ", "bext", "minf", "elm1"}) {
        SCOPED_TRACE(id);
        wave = Load(RiffBuilder()
                        .Chunk(id, junk)
                        .Chunk("fmt ", StereoFormat())
                        .Chunk("data", kSamples)
                        .Build());
        ExpectSamplesReadSilently(*wave, kSamples);
    }

    // Out of order, repeated, or not a leading id at all: the chunk stands where the format
    // chunk is expected and the read stops there.
    const std::vector<std::vector<const char*>> refused = {
        {"minf", "bext"}, {"bext", "bext"}, {"PAD ", "PAD "}, {"bext", "PAD "},
        {"elm1", "minf"}, {"pad "},         {"umid"},         {"data"},
    };
    for (const auto& ids : refused) {
        RiffBuilder builder;
        for (const char* id : ids) {
            builder.Chunk(id, junk);
        }
        const char* standing = ids.back();
        SCOPED_TRACE(standing);
        wave = Load(builder.Chunk("fmt ", StereoFormat()).Chunk("data", kSamples).Build());
        EXPECT_EQ(Shown(), Messages{Notice("fmt ")});
        ExpectNoSamples(*wave);
        EXPECT_EQ(wave->m_fmtId, IdOf(standing));
        EXPECT_EQ(wave->m_fmtSize, junk.size());
    }
}

TEST_F(WaveReaderTest, FactChunkIsCheckedOnlyRightAfterTheFormatChunk) {
    Bytes fact4;
    AppendLE32(fact4, 1234);
    const Bytes fact8(8, 0x11);

    // Right after the format chunk a 4-byte "fact" is passed over without a word.
    auto wave = Load(RiffBuilder()
                         .Chunk("fmt ", StereoFormat())
                         .Chunk("fact", fact4)
                         .Chunk("data", kSamples)
                         .Build());
    ExpectSamplesReadSilently(*wave, kSamples);

    // Any other size there stops the read, with the format already taken.
    for (const Bytes& body : {fact8, Bytes{}, Bytes(2, 0)}) {
        SCOPED_TRACE(body.size());
        wave = Load(RiffBuilder()
                        .Chunk("fmt ", StereoFormat())
                        .Chunk("fact", body)
                        .Chunk("data", kSamples)
                        .Build());
        EXPECT_EQ(Shown(), Messages{Notice("fact")});
        ExpectNoSamples(*wave);
        ExpectStereoFormat(*wave);
    }

    // Behind a chunk of the skip list it is not examined: reported, passed over, read goes on.
    wave = Load(RiffBuilder()
                    .Chunk("fmt ", StereoFormat())
                    .Chunk("umid", Bytes(4, 0))
                    .Chunk("fact", fact8)
                    .Chunk("data", kSamples)
                    .Build());
    EXPECT_EQ(Shown(), Messages{Notice("fact")});
    ExpectSamples(*wave, kSamples);
}

TEST_F(WaveReaderTest, SecondFormatChunkIsReportedAndTheFirstOneCounts) {
    const Bytes other = FormatRecord(1, 1, 8000, 8);
    for (const bool behindSkipChunk : {false, true}) {
        SCOPED_TRACE(behindSkipChunk);
        RiffBuilder builder;
        builder.Chunk("fmt ", StereoFormat());
        if (behindSkipChunk) {
            builder.Chunk("regn", Bytes(2, 0));
        }
        auto wave = Load(builder.Chunk("fmt ", other).Chunk("data", kSamples).Build());
        EXPECT_EQ(Shown(), Messages{Notice("fmt ")});
        ExpectSamples(*wave, kSamples);
        ExpectStereoFormat(*wave);
    }
}

TEST_F(WaveReaderTest, SkipListChunksArePassedOverSilentlyInAnyOrderAndNumber) {
    const char* const skipIds[] = {"umid", "ovwf", "regn", "elmo", "pad ", "sav1",
                                   "vphd", "elm1", "minf", "bext", "PAD "};
    RiffBuilder builder;
    builder.Chunk("fmt ", StereoFormat());
    std::size_t length = 0;
    for (int round = 0; round < 2; ++round) {
        for (const char* id : skipIds) {
            length = (length + 2) % 10;
            builder.Chunk(id, Bytes(length, 0x5A));
        }
    }
    Bytes fact4;
    AppendLE32(fact4, 0);
    auto wave = Load(builder.Chunk("data", kSamples).Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    ExpectStereoFormat(*wave);

    // After the "fact" chunk the skip list applies as well.
    auto withFact = Load(RiffBuilder()
                             .Chunk("fmt ", StereoFormat())
                             .Chunk("fact", fact4)
                             .Chunk("pad ", Bytes(2, 0))
                             .Chunk("PAD ", Bytes(4, 0))
                             .Chunk("data", kSamples)
                             .Build());
    ExpectSamplesReadSilently(*withFact, kSamples);
}

TEST_F(WaveReaderTest, EveryChunkFromTheFirstUnknownOneToTheDataIsReported) {
    auto wave = Load(RiffBuilder()
                         .Chunk("fmt ", StereoFormat())
                         .Chunk("umid", Bytes(4, 0))
                         .Chunk("LIST", Bytes(12, 'i'))
                         .Chunk("bext", Bytes(2, 0))
                         .Chunk("PAD ", Bytes(0))
                         .Chunk("cue ", Bytes(4, 0))
                         .Chunk("data", kSamples)
                         .Build());
    EXPECT_EQ(Shown(), (Messages{Notice("LIST"), Notice("bext"), Notice("PAD "), Notice("cue ")}));
    ExpectSamples(*wave, kSamples);
    ExpectStereoFormat(*wave);
}

TEST_F(WaveReaderTest, OddSizedChunkWithoutPadByteIsReadAsWritten) {
    // The scan moves to the byte right after the body, where the next id starts.
    auto wave = Load(RiffBuilder()
                         .Chunk("fmt ", StereoFormat())
                         .Chunk("junk", Bytes(3, 'j'))
                         .Chunk("data", kSamples)
                         .Build());
    EXPECT_EQ(Shown(), Messages{Notice("junk")});
    ExpectSamples(*wave, kSamples);

    wave = Load(RiffBuilder()
                    .Chunk("bext", Bytes(5, 'b'))
                    .Chunk("fmt ", StereoFormat())
                    .Chunk("umid", Bytes(7, 'u'))
                    .Chunk("data", kSamples)
                    .Build());
    ExpectSamplesReadSilently(*wave, kSamples);

    // An odd-sized data chunk needs no pad byte behind it.
    const Bytes odd = {1, 2, 3};
    wave = Load(RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", odd).Build());
    ExpectSamplesReadSilently(*wave, odd);
}

TEST_F(WaveReaderTest, PadByteAfterOddSizedChunkIsPassedOver) {
    // RIFF writers follow an odd-sized body with a zero pad byte. Stepping over it keeps the scan
    // on the next chunk's id; landing on the pad byte would report a garbled id and lose the data.
    // No chunk id starts with a zero byte, so a file written without pad bytes reads the same.
    auto wave = Load(RiffBuilder()
                         .Chunk("PAD ", Bytes(1, 'p'), true)
                         .Chunk("bext", Bytes(3, 'b'), true)
                         .Chunk("fmt ", StereoFormat())
                         .Chunk("umid", Bytes(5, 'u'), true)
                         .Chunk("elmo", Bytes(1, 'e'), true)
                         .Chunk("data", kSamples)
                         .Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    ExpectStereoFormat(*wave);

    // A padded odd-sized format chunk (record plus one extra byte).
    wave = Load(RiffBuilder()
                    .Chunk("fmt ", Concat(StereoFormat(), {0x7F}), true)
                    .Chunk("data", kSamples)
                    .Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 17u);

    // A reported chunk's pad byte does not make a second report.
    wave = Load(RiffBuilder()
                    .Chunk("fmt ", StereoFormat())
                    .Chunk("junk", Bytes(3, 'j'), true)
                    .Chunk("LIST", Bytes(1, 'l'), true)
                    .Chunk("data", kSamples)
                    .Build());
    EXPECT_EQ(Shown(), (Messages{Notice("junk"), Notice("LIST")}));
    ExpectSamples(*wave, kSamples);

    // A pad byte that is the file's last byte, with no data chunk after it.
    wave = Load(
        RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("umid", Bytes(3, 'u'), true).Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);
}

TEST_F(WaveReaderTest, EmptyDataChunkGivesAnEmptyBlock) {
    auto wave = Load(RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", Bytes()).Build());
    EXPECT_EQ(Shown(), Messages{});
    EXPECT_TRUE(wave->HasSamples());
    EXPECT_EQ(wave->m_sampleBytes, 0u);
    EXPECT_EQ(wave->m_dataSize, 0u);
    EXPECT_EQ(wave->m_dataId, MakeChunkId("data"));
}

TEST_F(WaveReaderTest, PathThatDoesNotOpenShowsFileNotFoundOnce) {
    for (const std::string& path :
         {m_dir.File("missing.wav"), m_dir.Path(), m_dir.File("no-such-folder/a.wav")}) {
        SCOPED_TRACE(path);
        m_messages.Clear();
        const auto wave = std::make_unique<CWaveData>(path.c_str());
        EXPECT_EQ(Shown(), Messages{kNotFound});
        ExpectNoSamples(*wave);
    }
}

TEST_F(WaveReaderTest, WrongIdsInTheHeaderStopTheRead) {
    Bytes file = RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", kSamples).Build();
    file[3] = 'X';  // "RIFX", the big-endian variant
    auto wave = Load(file);
    EXPECT_EQ(Shown(), Messages{Notice("RIFF")});
    ExpectNoSamples(*wave);
    EXPECT_EQ(wave->m_riffId, MakeChunkId("RIFX"));
    EXPECT_EQ(wave->m_riffSize, file.size() - 8);

    file = RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", kSamples).Build();
    file[8] = 'w';  // ids are compared case by case
    wave = Load(file);
    EXPECT_EQ(Shown(), Messages{Notice("WAVE")});
    ExpectNoSamples(*wave);
    EXPECT_EQ(wave->m_riffId, MakeChunkId("RIFF"));
    EXPECT_EQ(wave->m_waveId, MakeChunkId("wAVE"));

    // No format chunk before the data.
    wave = Load(RiffBuilder().Chunk("data", kSamples).Chunk("fmt ", StereoFormat()).Build());
    EXPECT_EQ(Shown(), Messages{Notice("fmt ")});
    ExpectNoSamples(*wave);
    EXPECT_EQ(wave->m_fmtId, MakeChunkId("data"));
    EXPECT_EQ(wave->m_fmtSize, kSamples.size());
}

// A file cut short anywhere before the end of its data holds no samples, and the one notice names
// the first piece of the file that did not fit. The reader must never look past the end of what it
// read.
TEST_F(WaveReaderTest, EveryTruncationOfAFileEndsWithoutSamplesAndOneNotice) {
    const Bytes file = RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("data", kSamples).Build();
    ASSERT_EQ(file.size(), 44 + kSamples.size());
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        auto wave = Load(Bytes(file.begin(), file.begin() + static_cast<long>(length)));
        const char* tag = length < 8    ? "RIFF"
                          : length < 12 ? "WAVE"
                          : length < 36 ? "fmt "
                                        : "data";
        EXPECT_EQ(Shown(), Messages{Notice(tag)});
        ExpectNoSamples(*wave);
    }
}

TEST_F(WaveReaderTest, SizeFieldsReachingPastTheEndOfTheFile) {
    // A data chunk larger than the file.
    auto wave = Load(
        RiffBuilder().Chunk("fmt ", StereoFormat()).ChunkWithSize("data", 100, kSamples).Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);

    wave = Load(RiffBuilder()
                    .Chunk("fmt ", StereoFormat())
                    .ChunkWithSize("data", 0xFFFFFFFF, kSamples)
                    .Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);

    // Chunks whose size field jumps the scan beyond the file, past the data that follows them.
    wave = Load(RiffBuilder()
                    .Chunk("fmt ", StereoFormat())
                    .ChunkWithSize("junk", 0xFFFFFFFF, Bytes(4, 0))
                    .Chunk("data", kSamples)
                    .Build());
    EXPECT_EQ(Shown(), (Messages{Notice("junk"), Notice("data")}));
    ExpectNoSamples(*wave);

    wave = Load(RiffBuilder()
                    .ChunkWithSize("fmt ", 0xFFFFFFFF, StereoFormat())
                    .Chunk("data", kSamples)
                    .Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);

    wave = Load(RiffBuilder()
                    .Chunk("fmt ", StereoFormat())
                    .ChunkWithSize("umid", 0xFFFFFFFE, Bytes(2, 0))
                    .Chunk("data", kSamples)
                    .Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);

    // A "fact" header with its body cut off.
    wave = Load(RiffBuilder().Chunk("fmt ", StereoFormat()).ChunkWithSize("fact", 4, {}).Build());
    EXPECT_EQ(Shown(), Messages{Notice("data")});
    ExpectNoSamples(*wave);

    // No data chunk at all.
    wave = Load(RiffBuilder().Chunk("fmt ", StereoFormat()).Chunk("LIST", Bytes(4, 0)).Build());
    EXPECT_EQ(Shown(), (Messages{Notice("LIST"), Notice("data")}));
    ExpectNoSamples(*wave);
}

TEST_F(WaveReaderTest, FormatsOtherThanEightOrSixteenBitPcmMonoOrStereoAreRefused) {
    // Only what the gain can scale is let in: a float, ADPCM or 24-bit file read as 16-bit PCM
    // would be saved as loud noise. The user is told the format is wrong, and nothing else.
    struct Case {
        const char* what;
        Bytes record;
    };
    Bytes rateZero = StereoFormat();
    rateZero[4] = rateZero[5] = rateZero[6] = rateZero[7] = 0;
    const std::vector<Case> cases = {
        {"IEEE float", FormatRecord(3, 2, 44100, 32)},
        {"ADPCM", FormatRecord(2, 1, 22050, 4)},
        {"a-law", FormatRecord(6, 1, 8000, 8)},
        {"24-bit PCM", FormatRecord(1, 2, 48000, 24)},
        {"32-bit PCM", FormatRecord(1, 1, 48000, 32)},
        {"12-bit PCM", FormatRecord(1, 1, 48000, 12)},
        {"no channels", FormatRecord(1, 0, 44100, 16)},
        {"three channels", FormatRecord(1, 3, 44100, 16)},
        {"six channels", FormatRecord(1, 6, 44100, 8)},
        {"rate 0", rateZero},
        {"extensible without its extension", FormatRecord(0xFFFE, 2, 44100, 16)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto wave = Load(RiffBuilder().Chunk("fmt ", c.record).Chunk("data", kSamples).Build());
        EXPECT_EQ(Shown(), Messages{kWrongFormat});
        ExpectNoSamples(*wave);
    }

    // The smallest accepted values.
    auto slow =
        Load(RiffBuilder().Chunk("fmt ", FormatRecord(1, 1, 1, 8)).Chunk("data", {1}).Build());
    ExpectSamplesReadSilently(*slow, {1});
}

TEST_F(WaveReaderTest, ExtensibleFormatWithPcmSubFormatIsReadAsPcm) {
    // WAVE_FORMAT_EXTENSIBLE with the PCM sub-format holds the same samples as tag 1. It is taken
    // as tag 1, since the file written back carries a plain 16-byte record that cannot hold the
    // extension.
    auto wave = Load(RiffBuilder()
                         .Chunk("fmt ", ExtensibleRecord(2, 44100, 16, kPcmSubFormat))
                         .Chunk("data", kSamples)
                         .Build());
    ExpectSamplesReadSilently(*wave, kSamples);
    EXPECT_EQ(wave->m_fmtSize, 40u);
    ExpectStereoFormat(*wave);

    wave = Load(RiffBuilder()
                    .Chunk("fmt ", ExtensibleRecord(1, 8000, 8, kPcmSubFormat))
                    .Chunk("fact", {0, 0, 0, 0})
                    .Chunk("data", {1, 2, 3})
                    .Build());
    ExpectSamplesReadSilently(*wave, {1, 2, 3});
    EXPECT_EQ(wave->m_formatTag, 1);
    EXPECT_EQ(wave->m_bitsPerSample, 8);
    EXPECT_EQ(wave->m_channels, 1);

    struct Case {
        const char* what;
        Bytes file;
    };
    // The GUID is looked for inside the format chunk only: here it follows a 24-byte chunk.
    const Bytes cut = ExtensibleRecord(2, 44100, 16, kPcmSubFormat);
    const Bytes shortChunk = RiffBuilder()
                                 .Chunk("fmt ", Bytes(cut.begin(), cut.begin() + 24))
                                 .Raw(kPcmSubFormat)
                                 .Chunk("data", kSamples)
                                 .Build();
    // The chunk claims 40 bytes but the file ends 30 bytes into it.
    const Bytes truncated =
        RiffBuilder().ChunkWithSize("fmt ", 40, Bytes(cut.begin(), cut.begin() + 30)).Build();
    const std::vector<Case> refused = {
        {"float sub-format", RiffBuilder()
                                 .Chunk("fmt ", ExtensibleRecord(2, 44100, 32, kFloatSubFormat))
                                 .Chunk("data", kSamples)
                                 .Build()},
        {"24-bit PCM", RiffBuilder()
                           .Chunk("fmt ", ExtensibleRecord(2, 44100, 24, kPcmSubFormat))
                           .Chunk("data", kSamples)
                           .Build()},
        {"four channels", RiffBuilder()
                              .Chunk("fmt ", ExtensibleRecord(4, 44100, 16, kPcmSubFormat))
                              .Chunk("data", kSamples)
                              .Build()},
        {"GUID outside the chunk", shortChunk},
        {"chunk cut short", truncated},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        wave = Load(c.file);
        EXPECT_EQ(Shown(), Messages{kWrongFormat});
        ExpectNoSamples(*wave);
    }
}

TEST_F(WaveReaderTest, NoticeShowsOnlyPrintableCharactersOfAnId) {
    // An id from a damaged or hostile file must not reach a terminal or a message box as control
    // characters; every byte outside printable ASCII shows as "?".
    Bytes escape = {0x1B, '[', 0x7F, 0xE3};
    AppendLE32(escape, 0);
    const Bytes file = RiffBuilder()
                           .Chunk("fmt ", StereoFormat())
                           .Raw(escape)
                           .Chunk("a b~", {})
                           .Chunk("data", kSamples)
                           .Build();
    auto wave = Load(file);
    EXPECT_EQ(Shown(), (Messages{Notice("?[??"), Notice("a b~")}));
    ExpectSamples(*wave, kSamples);

    m_messages.Clear();
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\x1b]0;\x07");
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\x01\x02");
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "\xff\x80 }");
    EXPECT_EQ(Shown(), (Messages{Notice("?]0;"), Notice("??"), Notice("?? }")}));
}

TEST(WaveMessagesTest, ReportTagWithAnotherCodeShowsOnlyTheBracketedTag) {
    testsupport::MessageCapture capture;
    CWaveData::ReportTag(CWaveData::kMsgFileNotFound, "LIST");
    CWaveData::ReportTag(99, "fmt ");
    EXPECT_EQ(capture.Messages(), (Messages{" [LIST]", " [fmt ]"}));
}

TEST(WaveMessagesTest, ShowMessageShowsTheNumberedText) {
    testsupport::MessageCapture capture;
    for (std::uint32_t code = 0; code <= 8; ++code) {
        CWaveData::ShowMessage(code);
    }
    CWaveData::ShowMessage(0xFFFFFFFF);
    // Codes beyond the table show an empty message instead of reading past its end.
    const Messages expected = {
        "ファイルが見つかりませんでした。",
        "不明なタグが検出されました。",
        "ファイルが開けませんでした。",
        "フォーマットが違う音声ファイルを処理しようとしました。",
        "ビット数を変更しました。",
        "ファイルを保存できませんでした。",
        "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。",
        "",
        "",
        "",
    };
    EXPECT_EQ(capture.Messages(), expected);
}

}  // namespace
