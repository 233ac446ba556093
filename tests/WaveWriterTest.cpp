// The writer: the 44-byte header before the samples, and saving that never loses the old file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "wave/FileReplace.h"
#include "wave/WaveData.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using Messages = std::vector<std::string>;

// Four sample bytes of 16-bit stereo at 44100 frames per second.
const Bytes kGoldenFile = {
    'R',  'I',  'F',  'F',  0x28, 0x00, 0x00, 0x00, 'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
    0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,
    0x04, 0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0xFE, 0xFF,
};

class WaveWriterTest : public testing::Test {
  protected:
    void SetUp() override {
        testsupport::SetRecord(m_wave, testsupport::FormatRecord(1, 2, 44100, 16));
        testsupport::SetBlock(m_wave, {0x01, 0x02, 0xFE, 0xFF});
        m_wave.m_riffSize = m_wave.m_dataSize = 999;  // as read; never written back
    }
    std::vector<fs::path> Entries() const {
        return {fs::directory_iterator(m_dir.Path()), fs::directory_iterator()};
    }

    testsupport::TempDir m_dir;
    testsupport::MessageCapture m_messages;
    CWaveData m_wave;
};

TEST_F(WaveWriterTest, FileIsThe44ByteHeaderThenTheBlock) {
    Bytes built(m_wave.GetWriteSize());
    m_wave.BuildFileImage(built.data(), m_wave.GetWriteSize());
    EXPECT_EQ(built, kGoldenFile);
}

TEST_F(WaveWriterTest, ReplacingKeepsThePermissionsAndTheLink) {
    const std::string real = m_dir.File("real.wav");
    testsupport::WriteFile(real, Bytes(10, 0x33));
    ASSERT_EQ(::chmod(real.c_str(), 0604), 0);
    fs::create_symlink("real.wav", m_dir.File("link.wav"));
    EXPECT_TRUE(m_wave.Write(m_dir.File("link.wav").c_str()));
    EXPECT_EQ(fs::read_symlink(m_dir.File("link.wav")), "real.wav");
    EXPECT_EQ(testsupport::ReadFile(real), kGoldenFile);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms(0604));
    EXPECT_EQ(Entries().size(), 2u);
}

TEST_F(WaveWriterTest, PlaceThatCannotHoldTheFileShowsCannotOpenAndCreatesNothing) {
    fs::create_directory(m_dir.File("folder"));
    for (const char* path : {"missing/out.wav", "folder"}) {
        SCOPED_TRACE(path);
        m_messages.Clear();
        EXPECT_FALSE(m_wave.Write(m_dir.File(path).c_str()));
        EXPECT_EQ(m_messages.Messages(), Messages{"ファイルが開けませんでした。"});
        EXPECT_EQ(Entries(), std::vector<fs::path>{m_dir.File("folder")});
    }
}

TEST_F(WaveWriterTest, WriteThatFailsShowsCannotSaveKeepsTheOldFileAndLeavesNoTemporary) {
    testsupport::SetBlock(m_wave, Bytes(4000, 0x5A));
    const std::string old = m_dir.File("keep.wav");
    testsupport::WriteFile(old, Bytes(100, 0x80));
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{1024, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);  // a full disk, even for root
    const bool written = m_wave.Write(old.c_str());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(m_messages.Messages(), Messages{"ファイルを保存できませんでした。"});
    EXPECT_EQ(testsupport::ReadFile(old), Bytes(100, 0x80));
    EXPECT_EQ(Entries(), std::vector<fs::path>{old});
}

// The replacement copies bytes that lie elsewhere in a cache line than in the file through a
// buffer of its own, one piece at a time; wherever they lie, the file must hold them in order.
TEST_F(WaveWriterTest, AppendsFromAnywhereInMemoryGiveTheSameFile) {
    Bytes bytes(3 * (1 << 20) + 4101);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 4099);
    }
    const Bytes head = {1, 2, 3};
    Bytes expected = head;
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    for (const std::size_t misfit : {0u, 1u, 29u, 63u}) {
        SCOPED_TRACE(misfit);
        Bytes memory(bytes.size() + 64);
        std::copy(bytes.begin(), bytes.end(), memory.begin() + static_cast<long>(misfit));
        const std::span<const std::uint8_t> source(memory.data() + misfit, bytes.size());
        CFileReplacement file;
        ASSERT_TRUE(file.Open(m_dir.File("out.wav").c_str()));
        EXPECT_TRUE(file.Append(head));
        EXPECT_TRUE(file.Append(source.first(5000)));
        EXPECT_TRUE(file.Append(source.subspan(5000)));
        EXPECT_TRUE(file.Commit());
        EXPECT_EQ(testsupport::ReadFile(m_dir.File("out.wav")), expected);
    }
    EXPECT_EQ(Entries().size(), 1u);
}

}  // namespace
