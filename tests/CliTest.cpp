// sonorette-gain as a child process: the bytes it writes, what it prints, refuses and leaves alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "wave/Loudness.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using Args = std::vector<std::string>;
using Entries = std::map<std::string, Bytes>;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kCannotOpen = "ファイルが開けませんでした。";
const std::string kFolder = "フォルダーのため、開けませんでした。";
const std::string kNotRegular = "通常のファイルではないため、開けませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";
const std::string kBits = "ビット数を変更しました。";
std::string ClipNoticeText(const std::string& count) {
    return "音量を上げすぎたため、" + count + " 個のサンプルがクリップしました。";
}
const std::string kOverwrite = "入力ファイルを上書きするため、保存しませんでした: ";

std::string MessageLine(const std::string& file, const std::string& text) {
    return "sonorette-gain: " + file + ": " + text + "\n";
}

// Prints, for each line of --analyze --json, the path as Python shows it, the raw path from
// path_hex, the figures rounded, and the counts.
constexpr char kReadJson[] = R"(import json, sys
r = lambda v, n: None if v is None else round(v, n)
for line in open(sys.argv[1], encoding="utf-8"):
    o = json.loads(line)
    raw = bytes.fromhex(o["path_hex"]) if "path_hex" in o else "-"
    print(ascii(o["path"]), raw, r(o["sample_peak_dbfs"], 1), r(o["true_peak_dbtp"], 0),
          r(o["integrated_lufs"], 1), o["loudness_range_lu"], o["proposed_percent"],
          o["duration_seconds"], o["sample_rate"], o["channels"], o["frames"], sep="|")
)";

// An 8000 Hz file with the 44-byte header the program writes.
Bytes WaveFile(const Bytes& data, std::uint16_t bits = 16) {
    return RiffBuilder().Chunk("fmt ", FormatRecord(1, 1, 8000, bits)).Chunk("data", data).Build();
}

Bytes Pcm16(const std::vector<std::int16_t>& samples) {
    return WaveFile(Samples16(samples));
}

// A file made by WaveFile with another byte rate in its format chunk.
Bytes WithByteRate(Bytes file, std::uint32_t byteRate) {
    for (std::size_t i = 0; i < 4; ++i) {
        file[28 + i] = static_cast<std::uint8_t>(byteRate >> (8 * i));
    }
    return file;
}

// How a run is set up besides its arguments.
struct How {
    // Past this many 512-byte blocks a write fails with EFBIG, as on a full disk...
    std::string maxBlocks;
    // ...or, when the signal is not ignored, the program is ended by SIGXFSZ.
    bool fileSizeSignalIgnored = true;
    // Where standard output goes instead of the file that Stream("out") reads ("&-": closed).
    std::string standardOutput;
};

How WithMaxBlocks(const std::string& maxBlocks, bool fileSizeSignalIgnored = true) {
    How how;
    how.maxBlocks = maxBlocks;
    how.fileSizeSignalIgnored = fileSizeSignalIgnored;
    return how;
}

How WithStandardOutput(const std::string& target) {
    How how;
    how.standardOutput = target;
    return how;
}

class GainCli : public testing::Test {
  protected:
    // Runs sonorette-gain in m_dir through the shell and gives its exit code, or -1 when it did
    // not end by itself within a minute; Stream() then gives what it printed.
    int Run(const Args& args, const How& how = {}) {
        std::string command = "cd '" + m_dir.Path() + "' && ulimit -c 0 && " +
                              (how.fileSizeSignalIgnored ? "trap '' XFSZ && " : "") +
                              (how.maxBlocks.empty() ? "" : "ulimit -f " + how.maxBlocks + " && ") +
                              "exec timeout -s KILL 60 '" SONORETTE_GAIN_PATH "'";
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        command += how.standardOutput.empty() ? " >'" + m_streams.File("out") + "'"
                                              : " >" + how.standardOutput;
        command += " 2>'" + m_streams.File("err") + "'";
        const int status = std::system(command.c_str());
        // timeout ends itself with the signal that ended the program, and gives 137 when it had
        // to kill it.
        return WIFEXITED(status) && WEXITSTATUS(status) != 128 + SIGKILL ? WEXITSTATUS(status) : -1;
    }
    std::string Stream(const char* name) const {
        const Bytes bytes = ReadFile(m_streams.File(name));
        return {bytes.begin(), bytes.end()};
    }
    void Write(const char* name, const Bytes& bytes) { WriteFile(m_dir.File(name), bytes); }
    // Every entry under the folder by relative path, with the bytes of each regular file and the
    // target of each link.
    Entries Snapshot(const std::string& folder = ".") const {
        Entries entries;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir.File(folder))) {
            Bytes& contents = entries[entry.path().lexically_relative(m_dir.File(folder)).string()];
            if (entry.is_symlink()) {
                const std::string target = fs::read_symlink(entry.path()).string();
                contents.assign(target.begin(), target.end());
            } else if (entry.is_regular_file()) {
                contents = ReadFile(entry.path().string());
            }
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
        {{"--percent", "150"},
         Pcm16({3, -21846, 32767}),
         "150",
         Pcm16({4, -32768, 32767}),
         ClipNoticeText("2")},
        {{"--percent=100"}, WaveFile({128, 255, 0}, 8), "100", Pcm16({0, 32512, -32768}), kBits},
        {{"--percent", "1000"}, Pcm16({3, -40}), "1000", Pcm16({30, -400}), ""},
        {{"--percent", "0"}, Pcm16({3, -40}), "0", Pcm16({0, 0}), ""},
        // A byte rate of 3e9 in the header, which widening would have doubled and wrapped.
        {{"--percent", "100"},
         WithByteRate(WaveFile({128, 255}, 8), 3000000000u),
         "100",
         Pcm16({0, 32512}),
         kBits},
        // The trailing byte of odd 16-bit data belongs to no sample.
        {{"--percent", "100"}, WaveFile({1, 0, 2, 0, 7}), "100", Pcm16({1, 2}), ""},
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
    Write("deep.wav", WaveFile(Bytes(6, 0x10), 12));
    EXPECT_EQ(Run({"--out-dir", "out", "missing.wav", "tone.wav", "deep.wav"}), 1);
    EXPECT_EQ(Stream("out"), "200%\ttone.wav -> out/tone.wav\n");
    // 16384 at 200 % is one step past full scale: a warning, and the exit status unchanged.
    EXPECT_EQ(Stream("err"), MessageLine("missing.wav", kNotFound) +
                                 MessageLine("tone.wav", ClipNoticeText("1")) +
                                 MessageLine("deep.wav", kWrongFormat));
    EXPECT_EQ(Snapshot("out"), (Entries{{"tone.wav", Pcm16({32767, -2000, 42})}}));
}

// A gain in decibels is a real factor, shown to two decimals; a bad number is refused before
// anything is read or written.
TEST_F(GainCli, GainsInDecibelsAndTheirRefusals) {
    const Bytes input = Pcm16({-16384, 1000, 3});
    Write("in.wav", input);
    const std::tuple<Args, std::string, Bytes, std::string> cases[] = {
        {{"--gain-db", "0"}, "100.00%", input, ""},
        {{"--gain-db=+20"}, "1000.00%", Pcm16({-32768, 10000, 30}), ClipNoticeText("1")},
        {{"--peak-db", "0"}, "200.00%", Pcm16({-32768, 2000, 6}), ""},
        {{"--peak-db", "-20"}, "20.00%", Pcm16({-3276, 200, 0}), ""},
    };
    for (const auto& [options, shown, output, notice] : cases) {
        SCOPED_TRACE(testing::PrintToString(options));
        Args args = options;
        args.insert(args.end(), {"in.wav", "-o", "out.wav"});
        EXPECT_EQ(Run(args), 0);
        EXPECT_EQ(Stream("out"), shown + "\tin.wav -> out.wav\n");
        EXPECT_EQ(Stream("err"), notice.empty() ? "" : MessageLine("in.wav", notice));
        EXPECT_EQ(ReadFile(m_dir.File("out.wav")), output);
    }
    std::filesystem::remove(m_dir.File("out.wav"));
    const Args refused[] = {{"--gain-db", "nan"},
                            {"--gain-db", "inf"},
                            {"--gain-db", "-1e999"},
                            {"--gain-db", "6dB"},
                            {"--gain-db="},
                            {"--gain-db", "20.5"},
                            {"--peak-db", "0.1"},
                            {"--peak-db"},
                            {"--percent", "5", "--gain-db", "1"},
                            {"--peak-db", "-1", "--peak-db", "-2"}};
    for (const Args& options : refused) {
        SCOPED_TRACE(testing::PrintToString(options));
        Args args = options;
        args.insert(args.end(), {"in.wav", "-o", "out.wav"});
        EXPECT_EQ(Run(args), 2);
        EXPECT_TRUE(Stream("err").starts_with("sonorette-gain: --")) << Stream("err");
    }
    EXPECT_EQ(Run({"--propose", "--peak-db", "-1", "in.wav"}), 2);
    // A switch given a value is refused, not taken with the value dropped.
    for (const Args& args :
         {Args{"--propose=no", "in.wav"}, Args{"--analyze", "--json=0", "in.wav"}}) {
        EXPECT_EQ(Run(args), 2);
        EXPECT_TRUE(
            Stream("err").starts_with("sonorette-gain: このオプションには値を付けられません: --"));
    }
    EXPECT_EQ(Snapshot(), (Entries{{"in.wav", input}}));
}

// A float file beyond full scale: a proposal below 100, 16-bit output with the depth notice,
// and the sample that the proposal brings to full scale counted as clipped.
TEST_F(GainCli, FloatInputIsNarrowedAndItsClipsCounted) {
    const float floats[] = {2.0f, -1.0f, 0.0f, 0.25f};
    Bytes data(sizeof floats);
    std::memcpy(data.data(), floats, sizeof floats);
    Write("in.wav",
          RiffBuilder().Chunk("fmt ", FormatRecord(3, 1, 8000, 32)).Chunk("data", data).Build());
    EXPECT_EQ(Run({"in.wav", "-o", "out.wav"}), 0);
    EXPECT_EQ(Stream("out"), "50%\tin.wav -> out.wav\n");
    EXPECT_EQ(Stream("err"),
              MessageLine("in.wav", kBits) + MessageLine("in.wav", ClipNoticeText("1")));
    const Bytes out = ReadFile(m_dir.File("out.wav"));
    ASSERT_EQ(out.size(), 44u + 8u);
    EXPECT_EQ(Bytes(out.begin() + 20, out.begin() + 36), FormatRecord(1, 1, 8000, 16));
    const std::vector<std::int16_t> samples = ToSamples16(out.data() + 44, 8);
    const double expected[] = {32767, -16384, 0, 4096};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_LE(std::abs(samples[i] - expected[i]), 1.5) << i;
    }
    EXPECT_EQ(samples[2], 0);  // silence stays silent
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
                          {"in.wav", "-o", "out.wav", "--propose"},
                          {"--analyze", "--percent", "5", "in.wav"},
                          {"--json", "in.wav", "-o", "out.wav"},
                          {"--loudness", "-23", "--percent", "100", "in.wav", "-o", "out.wav"},
                          {"--loudness", "-23", "--propose", "in.wav"},
                          {"--loudness", "3", "in.wav", "-o", "out.wav"},
                          {"--loudness", "-2x", "in.wav", "-o", "out.wav"},
                          {"--true-peak-db", "-1", "in.wav", "-o", "out.wav"}};
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
    EXPECT_EQ(Run({"in.wav", "-o", "old.wav"}, WithMaxBlocks("2")), 1);
    EXPECT_EQ(Stream("err"),
              MessageLine("old.wav", "ファイルを保存できませんでした。 (File too large)"));
    EXPECT_EQ(Snapshot(), before);
}

// A signal that ends the program in the middle of a save (here SIGXFSZ, the write past the file
// size limit) leaves neither the new file nor a temporary one behind.
TEST_F(GainCli, ProgramEndedWhileSavingLeavesTheOldFileAndNothingElse) {
    Write("in.wav", Pcm16(std::vector<std::int16_t>(1000, 1000)));
    Write("old.wav", Pcm16({1, 2, 3}));
    ASSERT_EQ(::chmod(m_dir.File("old.wav").c_str(), 0600), 0);
    const Entries before = Snapshot();
    EXPECT_EQ(Run({"in.wav", "-o", "old.wav"}, WithMaxBlocks("2", false)), -1);
    EXPECT_EQ(Snapshot(), before);
}

// FIFOs, devices and folders among the inputs are refused at once, whichever the mode, and the
// files after them are processed.
TEST_F(GainCli, InputsThatAreNotRegularFilesAreRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(m_dir.File("f.wav").c_str(), 0600), 0);
    fs::create_directory(m_dir.File("out"));
    fs::create_directory(m_dir.File("folder.wav"));
    Write("a.wav", Pcm16({-8192}));
    Write("b.wav", Pcm16({-16384}));
    EXPECT_EQ(Run({"--out-dir", "out", "a.wav", "f.wav", "b.wav"}), 1);
    EXPECT_EQ(Stream("out"), "400%\ta.wav -> out/a.wav\n200%\tb.wav -> out/b.wav\n");
    EXPECT_EQ(Stream("err"), MessageLine("f.wav", kNotRegular));
    EXPECT_EQ(Run({"--propose", "a.wav", "f.wav", "folder.wav", "/dev/null", "b.wav"}), 1);
    EXPECT_EQ(Stream("out"), "400\ta.wav\n200\tb.wav\n");
    EXPECT_EQ(Stream("err"), MessageLine("f.wav", kNotRegular) +
                                 MessageLine("folder.wav", kFolder) +
                                 MessageLine("/dev/null", kNotRegular));
    EXPECT_EQ(Run({"--play", "f.wav"}), 1);
    EXPECT_EQ(Stream("err"), MessageLine("f.wav", kNotRegular));
}

// Two names of one file are one output: the second result is not written over the first.
TEST_F(GainCli, BatchComparesOutputsAsFiles) {
    fs::create_directories(m_dir.File("x"));
    fs::create_directories(m_dir.File("out"));
    fs::create_symlink("b.wav", m_dir.File("out/a.wav"));
    Write("x/a.wav", Pcm16({100}));
    Write("x/b.wav", Pcm16({200}));
    EXPECT_EQ(Run({"--percent", "100", "--out-dir", "out", "x/a.wav", "x/b.wav"}), 1);
    EXPECT_EQ(Stream("out"), "100%\tx/a.wav -> out/a.wav\n");
    EXPECT_EQ(Stream("err"),
              MessageLine("x/b.wav",
                          "先に保存した出力と同じファイルのため、保存しませんでした: out/b.wav"));
    EXPECT_EQ(fs::read_symlink(m_dir.File("out/a.wav")), "b.wav");
    EXPECT_EQ(ReadFile(m_dir.File("out/b.wav")), Pcm16({100}));
}

TEST_F(GainCli, FailedWriteToStandardOutputIsAnError) {
    Write("a.wav", Pcm16({-8192}));
    const std::tuple<Args, std::string, std::string> cases[] = {
        {{"--propose", "a.wav"}, "/dev/full", "No space left on device"},
        {{"--propose", "a.wav"}, "&-", "Bad file descriptor"},
        {{"a.wav", "-o", "b.wav"}, "&-", "Bad file descriptor"},
        {{"--help"}, "/dev/full", "No space left on device"},
    };
    for (const auto& [args, target, reason] : cases) {
        SCOPED_TRACE(testing::PrintToString(args) + " >" + target);
        EXPECT_EQ(Run(args, WithStandardOutput(target)), 1);
        EXPECT_EQ(Stream("err"),
                  "sonorette-gain: 標準出力に書き込めませんでした。 (" + reason + ")\n");
    }
    EXPECT_EQ(ReadFile(m_dir.File("b.wav")), Pcm16({-32768}));
}

// Terminal control sequences and line breaks in file names are shown escaped: one input, one line.
TEST_F(GainCli, ControlCharactersInPathsAreShownEscaped) {
    const std::string title = "t\x1b]0;pwned\x07.wav";
    const std::string red = "r\x1b[31m\\.wav";
    const std::string broken = "line\nbreak.wav";
    for (const std::string& name : {title, red, broken}) {
        Write(name.c_str(), Pcm16({8192}));
    }
    EXPECT_EQ(Run({"--propose", title, red, broken, "gone\r.wav"}), 1);
    EXPECT_EQ(Stream("out"),
              "400\tt\\033]0;pwned\\007.wav\n400\tr\\033[31m\\\\.wav\n400\tline\\012break.wav\n");
    EXPECT_EQ(Stream("err"), MessageLine("gone\\015.wav", kNotFound));
    EXPECT_EQ(Run({broken, "-o", "out\tput.wav"}), 0);
    EXPECT_EQ(Stream("out"), "400%\tline\\012break.wav -> out\\011put.wav\n");
    EXPECT_EQ(Run({"--bogus\x1b[2J"}), 2);
    EXPECT_TRUE(
        Stream("err").starts_with("sonorette-gain: 不明なオプションです: --bogus\\033[2J\n"));
}

// A file of many unknown chunks gives a few lines, not one per chunk, and is processed.
TEST_F(GainCli, NoticesAreBoundedPerFile) {
    RiffBuilder builder;
    builder.Chunk("fmt ", FormatRecord(1, 1, 8000, 16));
    const char* ids[] = {"JUNK", "abcd", "LIST", "efgh", "ijkl"};
    for (int i = 0; i < 200000; ++i) {
        builder.Chunk(ids[i % 5], {});
    }
    Write("many.wav", builder.Chunk("data", Samples16({-8192})).Build());
    EXPECT_EQ(Run({"many.wav", "-o", "out.wav"}), 0);
    const std::string notice = "不明なタグが検出されました。処理は継続可能です。 ";
    EXPECT_EQ(Stream("err"), MessageLine("many.wav", notice + "[JUNK]") +
                                 MessageLine("many.wav", notice + "[abcd]") +
                                 MessageLine("many.wav", notice + "[LIST]") +
                                 MessageLine("many.wav", notice + "[ほか 199997 個]"));
    EXPECT_EQ(ReadFile(m_dir.File("out.wav")), Pcm16({-32768}));
}

// Every failure on the output side names the output, with the system's reason where it gave one.
TEST_F(GainCli, OutputFailuresNameTheOutputAndTheReason) {
    Write("in.wav", Pcm16({8192}));
    fs::create_directory(m_dir.File("folder"));
    ASSERT_EQ(::mkfifo(m_dir.File("fifo").c_str(), 0600), 0);
    fs::create_symlink("loop2", m_dir.File("loop1"));
    fs::create_symlink("loop1", m_dir.File("loop2"));
    const std::tuple<Args, std::string> cases[] = {
        {{"--out-dir", "nowhere", "in.wav"},
         MessageLine("nowhere/in.wav", kCannotOpen + " (No such file or directory)")},
        {{"in.wav", "-o", "folder"}, MessageLine("folder", kFolder)},
        {{"in.wav", "-o", "fifo"}, MessageLine("fifo", kNotRegular)},
        {{"in.wav", "-o", "loop1"},
         MessageLine("loop1", kCannotOpen + " (Too many levels of symbolic links)")},
    };
    const Entries before = Snapshot();
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_EQ(Run(args), 1);
        EXPECT_EQ(Stream("out"), "");
        EXPECT_EQ(Stream("err"), message);
        EXPECT_EQ(Snapshot(), before);
    }
}

// A link at the output is kept, also one that leads nowhere yet.
TEST_F(GainCli, OutputThroughALinkKeepsTheLink) {
    Write("in.wav", Pcm16({8192}));
    fs::create_directory(m_dir.File("sub"));
    fs::create_symlink("sub/new.wav", m_dir.File("dangling.wav"));
    EXPECT_EQ(Run({"in.wav", "-o", "dangling.wav"}), 0);
    EXPECT_EQ(fs::read_symlink(m_dir.File("dangling.wav")), "sub/new.wav");
    EXPECT_EQ(ReadFile(m_dir.File("sub/new.wav")), Pcm16({32767}));
}

// The figures of --analyze, per file, with the standard's true-peak signal and silence.
TEST_F(GainCli, AnalyzePrintsTheFiguresOfEachReadableInput) {
    Write("quarter.wav", SineWave16(48000, 2, 5.0, 12000.0, 1.0, std::numbers::pi / 4));
    Write("silent.wav", Pcm16(std::vector<std::int16_t>(16000, 0)));
    EXPECT_EQ(Run({"--analyze", "quarter.wav", "missing.wav", "silent.wav"}), 1);
    const std::string out = Stream("out");
    const std::string silent =
        "-inf dBFS\t-inf dBTP\t-inf LUFS\t0.00 LU\t0%\t2.000 s\tsilent.wav\n";
    ASSERT_TRUE(out.ends_with("\n" + silent)) << out;
    const std::string quarter = out.substr(0, out.size() - silent.size());
    EXPECT_TRUE(quarter.starts_with("-3.01 dBFS\t")) << quarter;
    EXPECT_TRUE(quarter.ends_with("\t141%\t5.000 s\tquarter.wav\n")) << quarter;
    EXPECT_NEAR(std::stod(quarter.substr(quarter.find('\t') + 1)), 0.0, 0.3);
    EXPECT_EQ(Stream("err"), MessageLine("missing.wav", kNotFound));
}

// Each line of --json is read by Python's json module; paths come back as they were, also one
// that is not UTF-8 (through path_hex), and minus infinity is null.
TEST_F(GainCli, AnalyzeJsonGivesOneObjectPerFileThatScriptsRead) {
    const std::string names[] = {"q\"b\\s\t.wav", "\xff\xfe.wav", "日本.wav"};
    Write(names[0].c_str(), SineWave16(8000, 1, 1.0, 1000.0, 0.5));
    Write(names[1].c_str(), Pcm16(std::vector<std::int16_t>(800, 0)));
    Write(names[2].c_str(), SineWave16(44100, 2, 2.0, 1000.0, std::pow(10.0, -23.0 / 20.0)));
    EXPECT_EQ(Run({"--analyze", "--json", names[0], names[1], names[2]}), 0);
    EXPECT_EQ(Stream("err"), "");
    WriteFile(m_streams.File("read.py"),
              testsupport::Bytes(std::begin(kReadJson), std::end(kReadJson) - 1));
    const std::string command = "python3 '" + m_streams.File("read.py") + "' '" +
                                m_streams.File("out") + "' >'" + m_streams.File("py") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << Stream("py");
    EXPECT_EQ(Stream("py"),
              "'q\"b\\\\s\\t.wav'|-|-6.0|-6.0|-9.0|0|200|1|8000|1|8000\n"
              "'\\ufffd\\ufffd.wav'|b'\\xff\\xfe.wav'|None|None|None|0|0|0.1|8000|1|800\n"
              "'\\u65e5\\u672c.wav'|-|-23.0|-23.0|-23.0|0|1000|2|44100|2|88200\n");
}

// The loudness reached is measured on the file written.
TEST_F(GainCli, LoudnessBringsTheFileToTheTargetUnderTheTruePeakCeiling) {
    Write("quiet.wav", SineWave16(44100, 2, 5.0, 1000.0, 0.05));
    EXPECT_EQ(Run({"--loudness", "-16", "quiet.wav", "-o", "out.wav"}), 0);
    EXPECT_EQ(Stream("err"), "");
    EXPECT_TRUE(Stream("out").ends_with("%\tquiet.wav -> out.wav\n")) << Stream("out");
    std::optional<LoudnessMeasure> out = MeasureFileLoudness(m_dir.File("out.wav").c_str());
    ASSERT_TRUE(out.has_value());
    EXPECT_NEAR(out->integratedLufs, -16.0, 0.1);

    // -6 LUFS with its true peak at -6 dBTP: 0 LUFS would take it past any ceiling.
    Write("loud.wav", SineWave16(44100, 2, 5.0, 1000.0, 0.5));
    for (const auto& [ceiling, args] :
         {std::pair{-1.0, Args{}}, {-3.0, Args{"--true-peak-db", "-3"}}}) {
        Args run = {"--loudness", "0", "loud.wav", "-o", "out.wav"};
        run.insert(run.end(), args.begin(), args.end());
        EXPECT_EQ(Run(run), 0);
        const std::string err = Stream("err");
        EXPECT_TRUE(err.starts_with("sonorette-gain: loud.wav: トゥルーピークを " +
                                    std::to_string(ceiling).substr(0, 4) +
                                    " dBTP 以下に保つため、ゲインを "))
            << err;
        out = MeasureFileLoudness(m_dir.File("out.wav").c_str());
        ASSERT_TRUE(out.has_value());
        EXPECT_LE(FractionToDecibels(out->truePeakFraction), ceiling);
        EXPECT_GE(FractionToDecibels(out->truePeakFraction), ceiling - 0.05);
    }

    Write("silent.wav", Pcm16(std::vector<std::int16_t>(8000, 0)));
    const Entries before = Snapshot();
    EXPECT_EQ(Run({"--loudness", "-23", "silent.wav", "-o", "s.wav"}), 1);
    EXPECT_EQ(
        Stream("err"),
        MessageLine("silent.wav",
                    "無音か、音が短すぎる (400 ms 未満) ため、ラウドネスを合わせられません。"));
    EXPECT_EQ(Snapshot(), before);
}

}  // namespace
