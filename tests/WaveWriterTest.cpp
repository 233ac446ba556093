// The writer: the 44-byte header it puts before the samples, and saving that never loses the file
// that was there before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "wave/WaveData.h"

namespace {

namespace fs = std::filesystem;

using testsupport::Bytes;
using testsupport::FormatRecord;
using testsupport::ReadFile;
using testsupport::RiffBuilder;
using testsupport::SetBlock;
using testsupport::SetRecord;
using testsupport::WriteFile;

using Messages = std::vector<std::string>;
using Tree = std::map<std::string, Bytes>;

const std::string kCannotOpen = "ファイルが開けませんでした。";
const std::string kCannotSave = "ファイルを保存できませんでした。";

// Four sample bytes of 16-bit stereo at 44100 frames per second.
const Bytes kGoldenFile = {
    'R',  'I',  'F',  'F',  0x28, 0x00, 0x00, 0x00, 'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
    0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
    0x04, 0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0xFE, 0xFF,
};

void MakeGoldenImage(CWaveData& wave) {
    SetRecord(wave, FormatRecord(1, 2, 44100, 16));
    SetBlock(wave, {0x01, 0x02, 0xFE, 0xFF});
}

// Every path under folder, with the bytes of each regular file: what a save left behind.
Tree TreeOf(const std::string& folder) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string path = entry.path().lexically_relative(folder).string();
        tree[path] = entry.is_regular_file() ? ReadFile(entry.path().string()) : Bytes();
    }
    return tree;
}

class WaveWriterTest : public testing::Test {
  protected:
    // A test that expects a message clears it once checked.
    void TearDown() override { EXPECT_EQ(m_messages.Messages(), Messages{}); }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
};

TEST_F(WaveWriterTest, FileIsThe44ByteHeaderThenTheBlock) {
    // The reader lets only PCM in, but an image built in memory may carry any record.
    const Bytes anyRecord = {3, 0, 6, 0, 0x00, 0x77, 0x01, 0x00, 4, 3, 2, 1, 0xB0, 0xA0, 32, 0};
    const auto file = [](const Bytes& record, const Bytes& block) {
        return RiffBuilder().Chunk("fmt ", record).Chunk("data", block).Build();
    };
    const std::tuple<Bytes, std::optional<Bytes>, Bytes> cases[] = {
        {FormatRecord(1, 2, 44100, 16), Bytes{0x01, 0x02, 0xFE, 0xFF}, kGoldenFile},  // 48 bytes
        {FormatRecord(1, 1, 22050, 16), std::nullopt, file(FormatRecord(1, 1, 22050, 16), {})},
        // No pad byte after odd-sized data.
        {FormatRecord(1, 1, 8000, 16), Bytes{1, 2, 3},
         file(FormatRecord(1, 1, 8000, 16), {1, 2, 3})},
        {anyRecord, Bytes(24, 0x42), file(anyRecord, Bytes(24, 0x42))},
    };
    for (const auto& [record, block, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(record));
        CWaveData wave;
        SetRecord(wave, record);
        if (block) {
            SetBlock(wave, *block);
        }
        // The ids and sizes as read are never written back.
        wave.m_riffId = wave.m_waveId = wave.m_fmtId = wave.m_dataId = MakeChunkId("junk");
        wave.m_riffSize = wave.m_fmtSize = wave.m_dataSize = 999;
        ASSERT_EQ(wave.GetWriteSize(), expected.size());
        Bytes built(expected.size());
        wave.BuildFileImage(built.data(), wave.GetWriteSize());
        EXPECT_EQ(built, expected);

        // A private temporary file (as mkstemp makes) must not leave the saved file unreadable
        // to everyone else. A bare file name is saved in the current folder.
        const mode_t savedMask = ::umask(022);
        const fs::path savedFolder = fs::current_path();
        fs::current_path(m_dir.Path());
        const bool written = wave.Write("new.wav");
        fs::current_path(savedFolder);
        ::umask(savedMask);
        EXPECT_TRUE(written);
        EXPECT_EQ(TreeOf(m_dir.Path()), (Tree{{"new.wav", expected}}));
        EXPECT_EQ(fs::status(m_dir.File("new.wav")).permissions(), fs::perms(0644));
        fs::remove(m_dir.File("new.wav"));
    }
}

// Saving writes a new file beside the target and renames it over the target once every byte is
// written: a failure must leave the old file as it was and no temporary file behind.

TEST_F(WaveWriterTest, SavingReplacesTheFileKeepsItsPermissionsAndFollowsALink) {
    fs::create_directory(m_dir.File("music"));
    fs::create_directory(m_dir.File("links"));
    const std::string real = m_dir.File("music/real.wav");
    const std::string link = m_dir.File("links/link.wav");
    CWaveData wave;
    MakeGoldenImage(wave);
    // No link, or a link to the file; a relative one is resolved from the link's folder.
    const std::pair<std::string, unsigned> cases[] = {
        {"", 0600}, {"", 0604}, {"", 0755}, {real, 0640}, {"../music/real.wav", 0640}};
    for (const auto& [target, mode] : cases) {
        SCOPED_TRACE(target + " " + std::to_string(mode));
        WriteFile(real, Bytes(10, 0x33));
        ASSERT_EQ(::chmod(real.c_str(), mode), 0);
        fs::remove(link);
        if (!target.empty()) {
            fs::create_symlink(target, link);
        }
        EXPECT_TRUE(wave.Write((target.empty() ? real : link).c_str()));
        EXPECT_EQ(TreeOf(m_dir.File("music")), (Tree{{"real.wav", kGoldenFile}}));
        EXPECT_EQ(fs::status(real).permissions(), fs::perms(mode));
        if (!target.empty()) {
            EXPECT_EQ(fs::read_symlink(link), fs::path(target));
            EXPECT_EQ(TreeOf(m_dir.File("links")), (Tree{{"link.wav", kGoldenFile}}));
        }
    }
}

TEST_F(WaveWriterTest, PlaceThatCannotHoldTheFileShowsCannotOpenAndChangesNothing) {
    WriteFile(m_dir.File("regular"), Bytes(5, 0x55));
    fs::create_directory(m_dir.File("folder"));
    WriteFile(m_dir.File("folder/inside"), {1});
    ASSERT_EQ(::mkfifo(m_dir.File("fifo").c_str(), 0600), 0);
    WriteFile(m_dir.File("locked.wav"), Bytes(7, 1));
    ASSERT_EQ(::chmod(m_dir.File("locked.wav").c_str(), 0444), 0);
    fs::create_directory(m_dir.File("sealed"));
    WriteFile(m_dir.File("sealed/old.wav"), Bytes(7, 2));
    ASSERT_EQ(::chmod(m_dir.File("sealed").c_str(), 0555), 0);
    const Tree before = TreeOf(m_dir.Path());

    CWaveData wave;
    MakeGoldenImage(wave);
    // Opening a FIFO for writing would wait for a reader forever. Permissions do not bind root.
    const std::pair<const char*, bool> cases[] = {
        {"missing/out.wav", false}, {"regular/out.wav", false},
        {"folder", false},          {"fifo", false},
        {"locked.wav", true},       {"sealed/new.wav", true},
        {"sealed/old.wav", true}};
    for (const auto& [path, permissionCheck] : cases) {
        SCOPED_TRACE(path);
        if (permissionCheck && ::geteuid() == 0) {
            continue;
        }
        m_messages.Clear();
        EXPECT_FALSE(wave.Write(m_dir.File(path).c_str()));
        EXPECT_EQ(m_messages.Messages(), Messages{kCannotOpen});
        EXPECT_EQ(TreeOf(m_dir.Path()), before);
    }
    m_messages.Clear();
    ::chmod(m_dir.File("sealed").c_str(), 0755);
}

TEST_F(WaveWriterTest, WriteThatFailsMidwayShowsCannotSaveAndKeepsTheOldFile) {
    CWaveData wave;
    SetRecord(wave, FormatRecord(1, 2, 44100, 16));
    SetBlock(wave, Bytes(4000, 0x5A));
    const std::string existing = m_dir.File("keep.wav");
    WriteFile(existing, Bytes(100, 0x80));
    ASSERT_EQ(::chmod(existing.c_str(), 0640), 0);

    // A file size limit below the output size stands for a full disk: write() fails with EFBIG
    // (SIGXFSZ ignored), and unlike a permission check it holds for root too.
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool replaced = wave.Write(existing.c_str());
    const bool created = wave.Write(m_dir.File("fresh.wav").c_str());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(replaced);
    EXPECT_FALSE(created);
    EXPECT_EQ(m_messages.Messages(), (Messages{kCannotSave, kCannotSave}));
    EXPECT_EQ(TreeOf(m_dir.Path()), (Tree{{"keep.wav", Bytes(100, 0x80)}}));
    EXPECT_EQ(fs::status(existing).permissions(), fs::perms(0640));
    m_messages.Clear();
}

}  // namespace
