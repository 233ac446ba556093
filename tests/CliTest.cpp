// sonorette-gain as a child process: the bytes it writes, what it prints, refuses and leaves alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using Args = std::vector<std::string>;
using Entries = std::map<std::string, Bytes>;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";
const std::string kBits = "ビット数を変更しました。";
const std::string kOverwrite = "入力ファイルを上書きするため、保存しませんでした: ";

std::string MessageLine(const std::string& file, const std::string& text) {
    return "sonorette-gain: " + file + ": " + text + "\n";
}

// An 8000 Hz file with the 44-byte header the program writes.
Bytes WaveFile(const Bytes& data, std::uint16_t bits = 16) {
    return RiffBuilder().Chunk("fmt ", FormatRecord(1, 1, 8000, bits)).Chunk("data", data).Build();
}

Bytes Pcm16(const std::vector<std::int16_t>& samples) {
    return WaveFile(Samples16(samples));
}

class GainCli : public testing::Test {
  protected:
    // Runs sonorette-gain in m_dir through the shell and gives its exit code; Stream() then gives
    // what it printed. Past maxBlocks 512-byte blocks a write fails with EFBIG, as on a full disk.
    int Run(const Args& args, const std::string& maxBlocks = "") {
        std::string command = "cd '" + m_dir.Path() + "' && trap '' XFSZ && " +
                              (maxBlocks.empty() ? "" : "ulimit -f " + maxBlocks + " && ") +
                              "exec '" SONORETTE_GAIN_PATH "'";
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        command += " >'" + m_streams.File("out") + "' 2>'" + m_streams.File("err") + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Stream(const char* name) const {
        const Bytes bytes = ReadFile(m_streams.File(name));
        return {bytes.begin(), bytes.end()};
    }
    void Write(const char* name, const Bytes& bytes) { WriteFile(m_dir.File(name), bytes); }
    // Every entry under the folder by relative path, with the bytes of each regular file.
    Entries Snapshot(const std::string& folder = ".") const {
        Entries entries;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir.File(folder))) {
            entries[entry.path().lexically_relative(m_dir.File(folder)).string()] =
                entry.is_regular_file() ? ReadFile(entry.path().string()) : Bytes{};
        }
        return entries;
    }

    TempDir m_dir;
    TempDir m_streams;
};

TEST_F(GainCli, WritesTheExactSixteenBitFile) {
    // Options, input, percent printed (proposed without --percent), output, notice.
    const std::tuple<Args, Bytes, std::string, Bytes, std::string> cases[] = {
        {{}, Pcm16({8193, -101, 2}), "399", Pcm16({32690, -402, 7}), ""},  // 399.95, truncated
        {{"--percent", "150"}, Pcm16({3, -21846, 32767}), "150", Pcm16({4, -32768, 32767}), ""},
        {{"--percent=100"}, WaveFile({128, 255, 0}, 8), "100", Pcm16({0, 32512, -32768}), kBits},
    };
    for (const auto& [options, input, percent, output, notice] : cases) {
        Write("in.wav", input);
        Args args = {"in.wav", "-o", "out.wav"};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_EQ(Run(args), 0);
        EXPECT_EQ(Stream("out"), percent + "%\tin.wav -> out.wav\n");
        EXPECT_EQ(Stream("err"), notice.empty() ? "" : MessageLine("in.wav", notice));
        EXPECT_EQ(Snapshot(), (Entries{{"in.wav", input}, {"out.wav", output}}));
    }
}

TEST_F(GainCli, BatchWritesEveryReadableInputAndReportsTheOthers) {
    fs::create_directory(m_dir.File("out"));
    Write("tone.wav", Pcm16({16384, -1000, 21}));
    Write("deep.wav", WaveFile(Bytes(6, 0x10), 24));
    EXPECT_EQ(Run({"--out-dir", "out", "missing.wav", "tone.wav", "deep.wav"}), 1);
    EXPECT_EQ(Stream("out"), "200%\ttone.wav -> out/tone.wav\n");
    EXPECT_EQ(Stream("err"),
              MessageLine("missing.wav", kNotFound) + MessageLine("deep.wav", kWrongFormat));
    EXPECT_EQ(Snapshot("out"), (Entries{{"tone.wav", Pcm16({32767, -2000, 42})}}));
}

// The output folder is the input's own, reached through a link.
TEST_F(GainCli, BatchNeverWritesOverAnInput) {
    Write("a.wav", Pcm16({100, -100}));
    fs::create_directory_symlink(m_dir.Path(), m_dir.File("link"));
    const Entries before = Snapshot();
    EXPECT_EQ(Run({"--percent", "100", "--out-dir", "link", "a.wav"}), 1);
    EXPECT_EQ(Stream("err"), MessageLine("a.wav", kOverwrite + "link/a.wav"));
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(GainCli, ProposePrintsOneLinePerReadableInputAndWritesNothing) {
    Write("quarter.wav", Pcm16({8192, -8192}));
    Write("silent.wav", Pcm16({0, 0}));
    EXPECT_EQ(Run({"--propose", "quarter.wav", "missing.wav", "silent.wav"}), 1);
    EXPECT_EQ(Stream("out"), "400\tquarter.wav\n0\tsilent.wav\n");
    EXPECT_EQ(Stream("err"), MessageLine("missing.wav", kNotFound));
    EXPECT_EQ(Snapshot().size(), 2u);
}

TEST_F(GainCli, UsageErrorsExitWithTwoShowTheUsageAndWriteNothing) {
    Run({"--help"});
    const std::string usage = Stream("out");
    ASSERT_TRUE(usage.starts_with("使い方:\n")) << usage;
    Write("in.wav", Pcm16({100, -100}));
    const Entries before = Snapshot();
    const Args cases[] = {{},
                          {"--bogus", "in.wav", "-o", "out.wav"},
                          {"--percent", "1001", "in.wav", "-o", "out.wav"},
                          {"in.wav", "-o", "out.wav", "--propose"}};
    for (const Args& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_EQ(Run(args), 2);
        EXPECT_EQ(Stream("out"), "");
        const std::string err = Stream("err");
        EXPECT_TRUE(err.starts_with("sonorette-gain: ") && err.ends_with("\n\n" + usage)) << err;
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(GainCli, OutputMayBeTheInputItselfAndKeepsItsPermissions) {
    Write("self.wav", Pcm16({1000, -3001}));
    ASSERT_EQ(::chmod(m_dir.File("self.wav").c_str(), 0640), 0);
    EXPECT_EQ(Run({"--percent", "200", "self.wav", "-o", "./self.wav"}), 0);
    EXPECT_EQ(Snapshot(), (Entries{{"self.wav", Pcm16({2000, -6002})}}));
    EXPECT_EQ(fs::status(m_dir.File("self.wav")).permissions(), fs::perms(0640));
}

TEST_F(GainCli, FailedWriteExitsWithOneAndKeepsTheOldFile) {
    Write("in.wav", Pcm16(std::vector<std::int16_t>(1000, 1000)));  // 2044 bytes out, 1024 allowed
    Write("old.wav", Pcm16({1, 2, 3}));
    const Entries before = Snapshot();
    EXPECT_EQ(Run({"in.wav", "-o", "old.wav"}, "2"), 1);
    EXPECT_EQ(Stream("err"), MessageLine("in.wav", "ファイルを保存できませんでした。"));
    EXPECT_EQ(Snapshot(), before);
}

}  // namespace
