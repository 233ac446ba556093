// The writer: the 44-byte header before the samples, and saving that never loses the old file nor
// leaves a new one behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "wave/FileReplace.h"
#include "wave/WaveData.h"
#include "wave/testing/ReplaceFaults.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::ShownMessage;
using Messages = std::vector<std::string>;
using Details = std::vector<ShownMessage>;

const std::string kCannotOpen = "ファイルが開けませんでした。";

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
    void TearDown() override {
        faults::RefuseUnnamedFiles(false);
        faults::WatchNewFiles(nullptr);
    }
    std::vector<fs::path> Entries(const std::string& folder = "") const {
        return {fs::directory_iterator(folder.empty() ? m_dir.Path() : folder),
                fs::directory_iterator()};
    }
    std::string Old(const char* name = "old.wav") const {
        testsupport::WriteFile(m_dir.File(name), Bytes(100, 0x80));
        return m_dir.File(name);
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

// A trailing part of a sample belongs to no sample and is dropped; an odd data chunk gets its pad
// byte; the byte rate is the one that the layout gives, whatever the image held.
TEST_F(WaveWriterTest, OutputIsConformantRiffWithTheByteRateOfItsLayout) {
    const std::tuple<std::uint16_t, Bytes, Bytes> cases[] = {
        {16, {1, 2, 3, 4, 5}, {1, 2, 3, 4}},
        {16, {9}, {}},
        {8, {1, 2, 3}, {1, 2, 3}},
    };
    for (const auto& [bits, block, samples] : cases) {
        SCOPED_TRACE(testing::PrintToString(block));
        const Bytes format = testsupport::FormatRecord(1, 1, 8000, bits);
        testsupport::SetRecord(m_wave, format);
        m_wave.m_avgBytesPerSec = 12345;
        testsupport::SetBlock(m_wave, block);
        const Bytes expected =
            testsupport::RiffBuilder().Chunk("fmt ", format).Chunk("data", samples, true).Build();
        ASSERT_EQ(m_wave.GetWriteSize(), expected.size());
        Bytes built(m_wave.GetWriteSize());
        m_wave.BuildFileImage(built.data(), m_wave.GetWriteSize());
        EXPECT_EQ(built, expected);
        EXPECT_TRUE(m_wave.Write(m_dir.File("out.wav").c_str()));
        EXPECT_EQ(testsupport::ReadFile(m_dir.File("out.wav")), expected);
    }
}

TEST_F(WaveWriterTest, ImageWhoseLayoutDisagreesIsNotWritten) {
    for (const int blockAlign : {0, 2, 3}) {
        m_messages.Clear();
        m_wave.m_blockAlign = static_cast<std::uint16_t>(blockAlign);
        const std::string out = m_dir.File("out.wav");
        EXPECT_FALSE(m_wave.Write(out.c_str()));
        EXPECT_EQ(m_messages.Details(),
                  (Details{{"フォーマットが違う音声ファイルを処理しようとしました。", out, 0}}));
        EXPECT_TRUE(Entries().empty());
    }
}

// Links at the target are followed as open() follows them, and stay links: through a chain, to
// a file that does not exist yet, across folders.
TEST_F(WaveWriterTest, ReplacingKeepsThePermissionsAndTheLinks) {
    const std::string real = m_dir.File("real.wav");
    testsupport::WriteFile(real, Bytes(10, 0x33));
    ASSERT_EQ(::chmod(real.c_str(), 0604), 0);
    fs::create_directory(m_dir.File("sub"));
    fs::create_symlink("real.wav", m_dir.File("link.wav"));
    fs::create_symlink("../link.wav", m_dir.File("sub/chain.wav"));
    fs::create_symlink("../new.wav", m_dir.File("sub/dangling.wav"));
    EXPECT_TRUE(m_wave.Write(m_dir.File("sub/chain.wav").c_str()));
    EXPECT_TRUE(m_wave.Write(m_dir.File("sub/dangling.wav").c_str()));
    EXPECT_EQ(fs::read_symlink(m_dir.File("link.wav")), "real.wav");
    EXPECT_EQ(fs::read_symlink(m_dir.File("sub/chain.wav")), "../link.wav");
    EXPECT_EQ(fs::read_symlink(m_dir.File("sub/dangling.wav")), "../new.wav");
    EXPECT_EQ(testsupport::ReadFile(real), kGoldenFile);
    EXPECT_EQ(testsupport::ReadFile(m_dir.File("new.wav")), kGoldenFile);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms(0604));
    EXPECT_EQ(Entries().size(), 4u);
    EXPECT_EQ(Entries(m_dir.File("sub")).size(), 2u);
    EXPECT_TRUE(m_messages.Messages().empty());
}

// Every failure names the output and, where the system gave one, its reason; nothing is created
// and nothing changed.
TEST_F(WaveWriterTest, PlaceThatCannotHoldTheFileSaysWhyAndCreatesNothing) {
    fs::create_directory(m_dir.File("folder"));
    ASSERT_EQ(::mkfifo(m_dir.File("fifo").c_str(), 0600), 0);
    fs::create_symlink("loop2", m_dir.File("loop1"));
    fs::create_symlink("loop1", m_dir.File("loop2"));
    const std::string locked = Old("locked.wav");
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
    const std::tuple<const char*, std::string, int> cases[] = {
        {"missing/out.wav", kCannotOpen, ENOENT},
        {"folder", "フォルダーのため、開けませんでした。", 0},
        {"fifo", "通常のファイルではないため、開けませんでした。", 0},
        {"loop1", kCannotOpen, ELOOP},
    };
    const auto before = Entries();
    for (const auto& [name, text, error] : cases) {
        SCOPED_TRACE(name);
        m_messages.Clear();
        EXPECT_FALSE(m_wave.Write(m_dir.File(name).c_str()));
        EXPECT_EQ(m_messages.Details(), (Details{{text, m_dir.File(name), error}}));
        EXPECT_EQ(Entries(), before);
        EXPECT_EQ(fs::read_symlink(m_dir.File("loop1")), "loop2");
        EXPECT_EQ(testsupport::ReadFile(locked), Bytes(100, 0x80));
    }
}

// A read-only target and a folder that may not be written to, for a user other than root (in a
// child, when the test runs as root).
TEST_F(WaveWriterTest, TargetOrFolderThatMayNotBeWrittenSaysWhyAndChangesNothing) {
    const std::string locked = Old("locked.wav");
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
    fs::create_directory(m_dir.File("closed"));
    ASSERT_EQ(::chmod(m_dir.File("closed").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    const auto before = Entries();
    const auto refused = [this](const std::string& path) {
        m_messages.Clear();
        return !m_wave.Write(path.c_str()) &&
               m_messages.Details() == Details{{kCannotOpen, path, EACCES}};
    };
    for (const std::string& path : {locked, m_dir.File("closed/new.wav")}) {
        SCOPED_TRACE(path);
        if (::geteuid() == 0) {
            constexpr uid_t kNobody = 65534;
            EXPECT_EXIT(
                {
                    const bool asNobody = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
                    std::_Exit(asNobody && refused(path) ? 0 : 1);
                },
                testing::ExitedWithCode(0), "");
        } else {
            EXPECT_TRUE(refused(path));
        }
        EXPECT_EQ(Entries(), before);
        EXPECT_TRUE(Entries(m_dir.File("closed")).empty());
        EXPECT_EQ(testsupport::ReadFile(locked), Bytes(100, 0x80));
    }
}

// In a sticky folder that everyone may write to, a link planted by another user is not followed;
// one of the folder's owner is.
TEST_F(WaveWriterTest, LinkOfAnotherUserInASharedStickyFolderIsNotFollowed) {
    const std::string shared = m_dir.File("shared");
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string victim = Old("victim.wav");
    const std::string link = shared + "/out.wav";
    fs::create_symlink("../victim.wav", link);
    constexpr uid_t kNobody = 65534;
    if (::lchown(link.c_str(), kNobody, kNobody) != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    EXPECT_FALSE(m_wave.Write(link.c_str()));
    EXPECT_EQ(m_messages.Details(), (Details{{kCannotOpen, link, EACCES}}));
    EXPECT_EQ(testsupport::ReadFile(victim), Bytes(100, 0x80));
    EXPECT_EQ(fs::read_symlink(link), "../victim.wav");
    EXPECT_EQ(Entries(shared).size(), 1u);

    m_messages.Clear();
    ASSERT_EQ(::chown(shared.c_str(), kNobody, kNobody), 0);
    EXPECT_TRUE(m_wave.Write(link.c_str()));
    EXPECT_EQ(testsupport::ReadFile(victim), kGoldenFile);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveWriterTest, WriteThatFailsSaysWhyKeepsTheOldFileAndLeavesNoTemporary) {
    testsupport::SetBlock(m_wave, Bytes(4000, 0x5A));
    const std::string old = Old();
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{1024, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);  // a full disk, even for root
    bool written[2] = {};
    for (const bool allowUnnamed : {true, false}) {
        faults::RefuseUnnamedFiles(!allowUnnamed);
        written[allowUnnamed] = m_wave.Write(old.c_str());
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(written[0] || written[1]);
    EXPECT_EQ(m_messages.Details(), Details(2, {"ファイルを保存できませんでした。", old, EFBIG}));
    EXPECT_EQ(testsupport::ReadFile(old), Bytes(100, 0x80));
    EXPECT_EQ(Entries(), std::vector<fs::path>{old});
}

// The new file's permissions at each step, and its links when it was created (none on the road of
// unnamed files).
std::vector<unsigned> g_modes;
nlink_t g_linksWhenCreated = 0;

void RecordMode(faults::NewFileStep step, const struct stat& status) {
    g_modes.push_back(status.st_mode & 07777);
    if (step == faults::NewFileStep::kCreated) {
        g_linksWhenCreated = status.st_nlink;
    }
}

// While written, the new file can be read by its owner alone; it has the target's permissions
// before it has a name; a new target gets what the umask gives. Both roads.
TEST_F(WaveWriterTest, NewFileIsNeverReadableByMoreThanTheTarget) {
    const mode_t umask = ::umask(022);
    for (const bool allowUnnamed : {true, false}) {
        SCOPED_TRACE(allowUnnamed);
        faults::RefuseUnnamedFiles(!allowUnnamed);
        faults::WatchNewFiles(RecordMode);
        const std::string old = Old();
        ASSERT_EQ(::chmod(old.c_str(), 0640), 0);
        g_modes.clear();
        EXPECT_TRUE(m_wave.Write(old.c_str()));
        EXPECT_EQ(g_modes, (std::vector<unsigned>{0600, 0640}));
        EXPECT_EQ(g_linksWhenCreated, allowUnnamed ? 0u : 1u);
        EXPECT_EQ(fs::status(old).permissions(), fs::perms(0640));
        fs::remove(old);
        g_modes.clear();
        EXPECT_TRUE(m_wave.Write(old.c_str()));
        EXPECT_EQ(g_modes, (std::vector<unsigned>{0644, 0644}));
        fs::remove(old);
    }
    ::umask(umask);
}

int g_signal = 0;
faults::NewFileStep g_signalStep = faults::NewFileStep::kCreated;

void RaiseAtStep(faults::NewFileStep step, const struct stat& /*status*/) {
    if (step == g_signalStep) {
        ::raise(g_signal);
    }
}

// SIGINT, SIGTERM or SIGHUP while the new file is written, or between its naming and the rename,
// ends the program as it would have, and leaves the old file as it was and no other behind.
TEST_F(WaveWriterTest, SignalThatEndsTheProgramLeavesNoNewFileBehind) {
    const std::string old = Old();
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool allowUnnamed : {true, false}) {
            for (const faults::NewFileStep step :
                 {faults::NewFileStep::kCreated, faults::NewFileStep::kBeforeRename}) {
                SCOPED_TRACE(testing::Message()
                             << "signal " << signalNumber << " unnamed " << allowUnnamed << " step "
                             << static_cast<int>(step));
                g_signal = signalNumber;
                g_signalStep = step;
                EXPECT_EXIT(
                    {
                        faults::RefuseUnnamedFiles(!allowUnnamed);
                        faults::WatchNewFiles(RaiseAtStep);
                        m_wave.Write(old.c_str());
                    },
                    testing::KilledBySignal(signalNumber), "");
                EXPECT_EQ(Entries(), std::vector<fs::path>{old});
                EXPECT_EQ(testsupport::ReadFile(old), Bytes(100, 0x80));
                for (const fs::path& leftover : Entries()) {  // each case starts afresh
                    if (leftover != old) {
                        fs::remove(leftover);
                    }
                }
            }
        }
    }
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
        CFileReplacement file(m_dir.File("out.wav").c_str());
        EXPECT_TRUE(file.Append({{head.data(), head.size()}, {source.data(), 5000}}));
        EXPECT_TRUE(file.Append({{source.data() + 5000, source.size() - 5000}}));
        EXPECT_EQ(file.Commit().result, ReplaceResult::kDone);
        EXPECT_EQ(testsupport::ReadFile(m_dir.File("out.wav")), expected);
    }
    EXPECT_EQ(Entries().size(), 1u);
}

}  // namespace
