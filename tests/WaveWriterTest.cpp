// The writer: the 44-byte header it puts in front of the samples, and saving that never loses the
// file that was there before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

namespace fs = std::filesystem;

using testsupport::AppendLE16;
using testsupport::AppendLE32;
using testsupport::Bytes;
using testsupport::FileExists;
using testsupport::FormatRecord;
using testsupport::ReadFile;
using testsupport::RiffBuilder;
using testsupport::Samples16;
using testsupport::WriteFile;

using Messages = std::vector<std::string>;

const std::string kCannotOpen = "ファイルが開けませんでした。";
const std::string kCannotSave = "ファイルを保存できませんでした。";
const std::string kBitsChanged = "ビット数を変更しました。";

void SetFormat(CWaveData& wave, std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
               std::uint32_t avgBytesPerSec, std::uint16_t blockAlign, std::uint16_t bits) {
    wave.m_formatTag = tag;
    wave.m_channels = channels;
    wave.m_samplesPerSec = rate;
    wave.m_avgBytesPerSec = avgBytesPerSec;
    wave.m_blockAlign = blockAlign;
    wave.m_bitsPerSample = bits;
}

void SetSamples(CWaveData& wave, const Bytes& samples) {
    wave.m_pSamples = std::make_unique<std::uint8_t[]>(samples.size());
    std::copy(samples.begin(), samples.end(), wave.m_pSamples.get());
    wave.m_sampleBytes = static_cast<std::uint32_t>(samples.size());
}

const Bytes kFourSamples = {0x01, 0x02, 0xFE, 0xFF};

// Four sample bytes of 16-bit stereo at 44100 frames per second, as a program would build it.
void MakeGoldenImage(CWaveData& wave) {
    SetFormat(wave, 1, 2, 44100, 176400, 4, 16);
    SetSamples(wave, kFourSamples);
}

const Bytes kGoldenFile = {
    'R',  'I',  'F',  'F',  0x28, 0x00, 0x00, 0x00, 'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
    0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
    0x04, 0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0xFE, 0xFF,
};

std::uint32_t LE32At(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes.at(offset)) |
           static_cast<std::uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
}

std::uint16_t LE16At(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned PermissionsOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777u;
}

// Files larger than the limit cannot be written while it is alive: write() fails with EFBIG
// instead of raising SIGXFSZ. It holds for root too, unlike a permission check.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        ::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool Active() const { return m_active; }

  private:
    rlimit m_saved{};
    sighandler_t m_previousHandler = SIG_DFL;
    bool m_active = false;
};

class CurrentFolder {
  public:
    explicit CurrentFolder(const std::string& folder) : m_saved(fs::current_path()) {
        fs::current_path(folder);
    }
    ~CurrentFolder() { fs::current_path(m_saved); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

  private:
    fs::path m_saved;
};

class Umask {
  public:
    explicit Umask(mode_t mask) : m_saved(::umask(mask)) {}
    ~Umask() { ::umask(m_saved); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

  private:
    mode_t m_saved;
};

class WaveWriterTest : public testing::Test {
  protected:
    std::unique_ptr<CWaveData> Load(const Bytes& bytes) {
        const std::string path = m_dir.File("source.wav");
        WriteFile(path, bytes);
        auto wave = std::make_unique<CWaveData>(path.c_str());
        std::filesystem::remove(path);
        return wave;
    }

    // Writes wave to a fresh file in the folder and returns the file's bytes.
    Bytes WriteAndRead(const CWaveData& wave) {
        const std::string path = m_dir.File("out.wav");
        EXPECT_TRUE(wave.Write(path.c_str()));
        Bytes written = ReadFile(path);
        std::filesystem::remove(path);
        return written;
    }

    Messages Shown() const { return m_messages.Messages(); }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
};

TEST(StoreLE32Test, StoresLeastSignificantByteFirst) {
    std::uint8_t bytes[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    CWaveData::StoreLE32(bytes + 1, 0x12345678u);
    EXPECT_EQ(Bytes(bytes, bytes + 6), (Bytes{0xAA, 0x78, 0x56, 0x34, 0x12, 0xAA}));
}

TEST_F(WaveWriterTest, FourSampleBytesOfStereoGiveThe48ByteFile) {
    CWaveData wave;
    MakeGoldenImage(wave);
    ASSERT_EQ(wave.GetWriteSize(), 48u);

    Bytes built(48, 0xCC);
    wave.BuildFileImage(built.data(), wave.GetWriteSize());
    EXPECT_EQ(built, kGoldenFile);

    const std::string path = m_dir.File("golden.wav");
    EXPECT_TRUE(wave.Write(path.c_str()));
    EXPECT_EQ(ReadFile(path), kGoldenFile);
    EXPECT_EQ(Shown(), Messages{});

    // Writing leaves the image as it was.
    EXPECT_EQ(Bytes(wave.m_pSamples.get(), wave.m_pSamples.get() + wave.m_sampleBytes),
              kFourSamples);
    EXPECT_EQ(wave.m_channels, 2);
    EXPECT_EQ(wave.m_avgBytesPerSec, 176400u);
}

TEST_F(WaveWriterTest, IdsAndSizesAsReadAreNeverWrittenBack) {
    CWaveData wave;
    MakeGoldenImage(wave);
    wave.m_riffId = MakeChunkId("RIFX");
    wave.m_riffSize = 999;
    wave.m_waveId = MakeChunkId("AVI ");
    wave.m_fmtId = MakeChunkId("bext");
    wave.m_fmtSize = 40;
    wave.m_dataId = MakeChunkId("junk");
    wave.m_dataSize = 4096;
    EXPECT_EQ(WriteAndRead(wave), kGoldenFile);
}

TEST_F(WaveWriterTest, ImageWithoutSamplesGivesTheBareHeader) {
    CWaveData empty;
    SetFormat(empty, 1, 1, 22050, 44100, 2, 16);
    EXPECT_EQ(empty.GetWriteSize(), 44u);
    Bytes written = WriteAndRead(empty);
    ASSERT_EQ(written.size(), 44u);
    EXPECT_EQ(LE32At(written, 4), 36u);
    EXPECT_EQ(LE32At(written, 16), 16u);
    EXPECT_EQ(LE32At(written, 24), 22050u);
    EXPECT_EQ(LE32At(written, 36), MakeChunkId("data"));
    EXPECT_EQ(LE32At(written, 40), 0u);

    // An empty data chunk read from a file gives the same header.
    const auto read =
        Load(RiffBuilder().Chunk("fmt ", FormatRecord(1, 1, 22050, 16)).Chunk("data", {}).Build());
    ASSERT_TRUE(read->HasSamples());
    EXPECT_EQ(WriteAndRead(*read), written);
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveWriterTest, OddSampleByteCountGetsNoPadByte) {
    CWaveData wave;
    SetFormat(wave, 1, 1, 8000, 16000, 2, 16);
    SetSamples(wave, {0x10, 0x20, 0x30});
    EXPECT_EQ(wave.GetWriteSize(), 47u);
    const Bytes written = WriteAndRead(wave);
    ASSERT_EQ(written.size(), 47u);
    EXPECT_EQ(LE32At(written, 4), 39u);
    EXPECT_EQ(LE32At(written, 40), 3u);
    EXPECT_EQ(Bytes(written.begin() + 44, written.end()), (Bytes{0x10, 0x20, 0x30}));
}

TEST_F(WaveWriterTest, OnlyTheFormatRecordAndTheDataOfASourceAreWritten) {
    const Bytes samples = Samples16({5, -5, 1000, -1000});
    const Bytes plain =
        RiffBuilder().Chunk("fmt ", FormatRecord(1, 2, 44100, 16)).Chunk("data", samples).Build();

    Bytes record18 = FormatRecord(1, 2, 44100, 16);
    AppendLE16(record18, 0);
    Bytes fact;
    AppendLE32(fact, 2);
    Bytes extensible = FormatRecord(0xFFFE, 2, 44100, 16);
    AppendLE16(extensible, 22);
    AppendLE16(extensible, 16);
    AppendLE32(extensible, 3);
    extensible.insert(extensible.end(), {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                         0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});

    struct Case {
        const char* what;
        Bytes file;
    };
    const std::vector<Case> sources = {
        {"18-byte format chunk",
         RiffBuilder().Chunk("fmt ", record18).Chunk("data", samples).Build()},
        {"fact chunk", RiffBuilder()
                           .Chunk("fmt ", FormatRecord(1, 2, 44100, 16))
                           .Chunk("fact", fact)
                           .Chunk("data", samples)
                           .Build()},
        {"bext and more", RiffBuilder()
                              .Chunk("PAD ", Bytes(3, 0), true)
                              .Chunk("bext", Bytes(100, 'b'))
                              .Chunk("fmt ", record18)
                              .Chunk("fact", fact)
                              .Chunk("umid", Bytes(8, 'u'))
                              .Chunk("data", samples)
                              .Chunk("LIST", Bytes(20, 'l'))
                              .Build(12)},
        {"extensible PCM", RiffBuilder().Chunk("fmt ", extensible).Chunk("data", samples).Build()},
    };
    for (const Case& c : sources) {
        SCOPED_TRACE(c.what);
        const auto wave = Load(c.file);
        ASSERT_TRUE(wave->HasSamples());
        EXPECT_EQ(WriteAndRead(*wave), plain);
    }
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveWriterTest, EightBitMonoSourceIsSavedAsSixteenBitsAfterTheGain) {
    const auto source = Load(RiffBuilder()
                                 .Chunk("fmt ", FormatRecord(1, 1, 8000, 8))
                                 .Chunk("data", {0, 64, 128, 192, 255})
                                 .Build());
    CWaveData copy(*source);
    copy.ApplyGain(1.0);
    EXPECT_EQ(Shown(), Messages{kBitsChanged});

    const Bytes written = WriteAndRead(copy);
    ASSERT_EQ(written.size(), 54u);
    EXPECT_EQ(LE16At(written, 20), 1);
    EXPECT_EQ(LE16At(written, 22), 1);
    EXPECT_EQ(LE32At(written, 24), 8000u);
    EXPECT_EQ(LE32At(written, 28), 16000u);
    EXPECT_EQ(LE16At(written, 32), 2);
    EXPECT_EQ(LE16At(written, 34), 16);
    EXPECT_EQ(LE32At(written, 40), 10u);
    EXPECT_EQ(Bytes(written.begin() + 44, written.end()),
              Samples16({-32768, -16384, 0, 16384, 32512}));
}

TEST_F(WaveWriterTest, FormatFieldsAreWrittenAsTheImageHoldsThem) {
    // The reader lets only PCM in, but an image built in memory may carry any tag; the writer
    // copies the record and does not judge it.
    for (const std::uint16_t tag : {std::uint16_t{0}, std::uint16_t{3}, std::uint16_t{0xFFFE}}) {
        SCOPED_TRACE(tag);
        CWaveData wave;
        SetFormat(wave, tag, 6, 96000, 0x01020304, 0xA0B0, 32);
        SetSamples(wave, Bytes(24, 0x42));
        const Bytes written = WriteAndRead(wave);
        ASSERT_EQ(written.size(), 68u);
        Bytes expectedRecord;
        AppendLE16(expectedRecord, tag);
        AppendLE16(expectedRecord, 6);
        AppendLE32(expectedRecord, 96000);
        AppendLE32(expectedRecord, 0x01020304);
        AppendLE16(expectedRecord, 0xA0B0);
        AppendLE16(expectedRecord, 32);
        EXPECT_EQ(Bytes(written.begin() + 20, written.begin() + 36), expectedRecord);
    }
}

TEST_F(WaveWriterTest, RoundTripKeepsFormatAndSamples) {
    CWaveData wave;
    SetFormat(wave, 1, 2, 48000, 192000, 4, 16);
    const Bytes samples = Samples16({0, 1, -1, 32767, -32768, 12345, -12345, 7});
    SetSamples(wave, samples);
    const std::string path = m_dir.File("trip.wav");
    ASSERT_TRUE(wave.Write(path.c_str()));
    const Bytes first = ReadFile(path);

    const CWaveData back(path.c_str());
    ASSERT_TRUE(back.HasSamples());
    EXPECT_EQ(back.m_formatTag, 1);
    EXPECT_EQ(back.m_channels, 2);
    EXPECT_EQ(back.m_samplesPerSec, 48000u);
    EXPECT_EQ(back.m_avgBytesPerSec, 192000u);
    EXPECT_EQ(back.m_blockAlign, 4);
    EXPECT_EQ(back.m_bitsPerSample, 16);
    EXPECT_EQ(Bytes(back.m_pSamples.get(), back.m_pSamples.get() + back.m_sampleBytes), samples);

    // Writing what was read over the same file gives the same bytes again.
    ASSERT_TRUE(back.Write(path.c_str()));
    EXPECT_EQ(ReadFile(path), first);
    EXPECT_EQ(Shown(), Messages{});
}

// Saving writes a new file beside the target and renames it over the target only once every
// byte is written: a failure midway must leave the user's old file as it was, never a short or
// empty one, and must leave no temporary file behind.

TEST_F(WaveWriterTest, SavingOverAFileReplacesItAndKeepsItsPermissions) {
    CWaveData wave;
    MakeGoldenImage(wave);
    for (const unsigned mode : {0600u, 0604u, 0640u, 0755u}) {
        SCOPED_TRACE(mode);
        const std::string path = m_dir.File("song.wav");
        WriteFile(path, Bytes(1000, 0x77));
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);

        EXPECT_TRUE(wave.Write(path.c_str()));
        EXPECT_EQ(ReadFile(path), kGoldenFile);
        EXPECT_EQ(PermissionsOf(path), mode);
        EXPECT_EQ(FolderEntries(m_dir.Path()), std::vector<std::string>{"song.wav"});
    }
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveWriterTest, NewFileIsCreatedWithThePermissionsTheUmaskAllows) {
    // A temporary file made private (as mkstemp does) must not leave the saved file unreadable
    // to everyone else.
    const Umask mask(022);
    CWaveData wave;
    MakeGoldenImage(wave);
    const std::string path = m_dir.File("new.wav");
    EXPECT_TRUE(wave.Write(path.c_str()));
    EXPECT_EQ(ReadFile(path), kGoldenFile);
    EXPECT_EQ(PermissionsOf(path), 0644u);
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::vector<std::string>{"new.wav"});
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveWriterTest, SavingThroughASymbolicLinkReplacesTheFileItNamesAndKeepsTheLink) {
    const std::string realFolder = m_dir.File("music");
    const std::string linkFolder = m_dir.File("links");
    fs::create_directory(realFolder);
    fs::create_directory(linkFolder);
    const std::string real = realFolder + "/real.wav";
    const std::string link = linkFolder + "/link.wav";
    CWaveData wave;
    MakeGoldenImage(wave);

    // A relative link is resolved from the link's folder, not from the current one.
    for (const std::string& linkText : {real, std::string("../music/real.wav")}) {
        SCOPED_TRACE(linkText);
        WriteFile(real, Bytes(10, 0x33));
        ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
        fs::remove(link);
        fs::create_symlink(linkText, link);

        EXPECT_TRUE(wave.Write(link.c_str()));

        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), fs::path(linkText));
        EXPECT_EQ(ReadFile(real), kGoldenFile);
        EXPECT_EQ(PermissionsOf(real), 0640u);
        EXPECT_EQ(FolderEntries(realFolder), std::vector<std::string>{"real.wav"});
        EXPECT_EQ(FolderEntries(linkFolder), std::vector<std::string>{"link.wav"});
    }
    EXPECT_EQ(Shown(), Messages{});
}

TEST_F(WaveWriterTest, BareFileNameIsSavedInTheCurrentFolder) {
    CWaveData wave;
    MakeGoldenImage(wave);
    {
        const CurrentFolder here(m_dir.Path());
        EXPECT_TRUE(wave.Write("plain.wav"));
    }
    EXPECT_EQ(ReadFile(m_dir.File("plain.wav")), kGoldenFile);
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::vector<std::string>{"plain.wav"});
}

TEST_F(WaveWriterTest, PlaceThatCannotHoldTheFileShowsCannotOpenAndCreatesNothing) {
    const std::string regular = m_dir.File("regular");
    WriteFile(regular, Bytes(5, 0x55));
    const std::string folder = m_dir.File("folder");
    fs::create_directory(folder);
    WriteFile(folder + "/inside", {1});
    const std::string fifo = m_dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> before = FolderEntries(m_dir.Path());

    CWaveData wave;
    MakeGoldenImage(wave);
    struct Case {
        const char* what;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"folder that does not exist", m_dir.File("missing/out.wav")},
        {"folder that is a regular file", regular + "/out.wav"},
        {"target that is a folder", folder},
        // Opening a FIFO for writing would wait for a reader forever.
        {"target that is a FIFO", fifo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_messages.Clear();
        EXPECT_FALSE(wave.Write(c.path.c_str()));
        EXPECT_EQ(Shown(), Messages{kCannotOpen});
        EXPECT_EQ(FolderEntries(m_dir.Path()), before);
    }
    EXPECT_FALSE(FileExists(m_dir.File("missing")));
    EXPECT_EQ(ReadFile(regular), Bytes(5, 0x55));
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"inside"});
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST_F(WaveWriterTest, ReadOnlyTargetOrFolderShowsCannotOpenAndChangesNothing) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permission checks do not apply to root";
    }
    CWaveData wave;
    MakeGoldenImage(wave);

    const std::string readOnlyFile = m_dir.File("locked.wav");
    WriteFile(readOnlyFile, Bytes(7, 0x01));
    ASSERT_EQ(::chmod(readOnlyFile.c_str(), 0444), 0);
    EXPECT_FALSE(wave.Write(readOnlyFile.c_str()));
    EXPECT_EQ(Shown(), Messages{kCannotOpen});
    EXPECT_EQ(ReadFile(readOnlyFile), Bytes(7, 0x01));
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::vector<std::string>{"locked.wav"});

    const std::string readOnlyFolder = m_dir.File("sealed");
    fs::create_directory(readOnlyFolder);
    const std::string existing = readOnlyFolder + "/old.wav";
    WriteFile(existing, Bytes(7, 0x02));
    ASSERT_EQ(::chmod(readOnlyFolder.c_str(), 0555), 0);
    for (const std::string& path : {readOnlyFolder + "/new.wav", existing}) {
        SCOPED_TRACE(path);
        m_messages.Clear();
        EXPECT_FALSE(wave.Write(path.c_str()));
        EXPECT_EQ(Shown(), Messages{kCannotOpen});
        EXPECT_EQ(FolderEntries(readOnlyFolder), std::vector<std::string>{"old.wav"});
    }
    EXPECT_EQ(ReadFile(existing), Bytes(7, 0x02));
}

TEST_F(WaveWriterTest, WriteThatFailsMidwayShowsCannotSaveAndKeepsTheOldFile) {
    CWaveData wave;
    SetFormat(wave, 1, 2, 44100, 176400, 4, 16);
    SetSamples(wave, Bytes(4000, 0x5A));
    const std::string existing = m_dir.File("keep.wav");
    const Bytes old = RiffBuilder()
                          .Chunk("fmt ", FormatRecord(1, 1, 8000, 8))
                          .Chunk("data", Bytes(100, 0x80))
                          .Build();
    WriteFile(existing, old);
    ASSERT_EQ(::chmod(existing.c_str(), 0640), 0);
    const std::string fresh = m_dir.File("fresh.wav");

    // A file limit below the output size stands for a full disk.
    bool replaced = true;
    bool created = true;
    {
        const FileSizeLimit limit(1024);
        ASSERT_TRUE(limit.Active());
        replaced = wave.Write(existing.c_str());
        created = wave.Write(fresh.c_str());
    }
    EXPECT_FALSE(replaced);
    EXPECT_FALSE(created);
    EXPECT_EQ(Shown(), (Messages{kCannotSave, kCannotSave}));
    EXPECT_EQ(ReadFile(existing), old);
    EXPECT_EQ(PermissionsOf(existing), 0640u);
    EXPECT_FALSE(FileExists(fresh));
    EXPECT_EQ(FolderEntries(m_dir.Path()), std::vector<std::string>{"keep.wav"});

    // Once there is room again the same save succeeds.
    m_messages.Clear();
    EXPECT_TRUE(wave.Write(existing.c_str()));
    EXPECT_EQ(ReadFile(existing).size(), 4044u);
    EXPECT_EQ(Shown(), Messages{});
}

}  // namespace
