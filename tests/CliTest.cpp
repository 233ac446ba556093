// sonorette-gain run as a child process on files built byte by byte: the bytes it writes, what it
// prints on each stream, what it refuses, and what it leaves untouched when it fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

using namespace testsupport;
using Args = std::vector<std::string>;
using Samples = std::vector<std::int16_t>;
using Entries = std::map<std::string, Bytes>;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kUnknownTag = "不明なタグが検出されました。処理は継続可能です。";
const std::string kCannotOpen = "ファイルが開けませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";
const std::string kBitsChanged = "ビット数を変更しました。";
const std::string kCannotSave = "ファイルを保存できませんでした。";
const std::string kOverwrite = "入力ファイルを上書きするため、保存しませんでした: ";
const std::string kDuplicate = "同じ名前の出力が先にあるため、保存しませんでした: ";

struct RunResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

std::string ReadBack(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return text;
}

// Runs sonorette-gain in workDir (the test's own folder when empty). Its output goes to unnamed
// files rather than pipes, so that it can never block on a stream the test is not reading.
RunResult Gain(Args args, const std::string& workDir = "", rlim_t fileSizeLimit = RLIM_INFINITY) {
    args.insert(args.begin(), SONORETTE_GAIN_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        ADD_FAILURE() << "no temporary file for the output";
        return {};
    }
    const int outFd = ::fileno(out);
    const int errFd = ::fileno(err);
    const rlimit limit{fileSizeLimit, fileSizeLimit};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec. Past the size limit a write then fails with
        // EFBIG, as on a full disk, instead of killing the program.
        const bool limited = fileSizeLimit != RLIM_INFINITY;
        if (::dup2(outFd, STDOUT_FILENO) < 0 || ::dup2(errFd, STDERR_FILENO) < 0 ||
            (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ||
            (limited &&
             (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit) != 0))) {
            ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "cannot run " << argv[0];
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBack(out), ReadBack(err)};
}

std::string GainLine(int percent, const std::string& input, const std::string& output) {
    return std::to_string(percent) + "%\t" + input + " -> " + output + "\n";
}

std::string MessageLine(const std::string& file, const std::string& text) {
    return "sonorette-gain: " + file + ": " + text + "\n";
}

// An 8000 Hz file with the 44-byte header the program writes.
Bytes WaveFile(const Bytes& data, std::uint16_t channels = 1, std::uint16_t bits = 16,
               std::uint16_t formatTag = 1) {
    return RiffBuilder()
        .Chunk("fmt ", FormatRecord(formatTag, channels, 8000, bits))
        .Chunk("data", data)
        .Build();
}

Bytes Pcm16(const Samples& samples, std::uint16_t channels = 1) {
    return WaveFile(Samples16(samples), channels);
}

// Every entry under folder by relative path, with the bytes of each regular file (links followed).
Entries Snapshot(const std::string& folder) {
    Entries entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        entries[entry.path().lexically_relative(folder).string()] =
            entry.is_regular_file() ? ReadFile(entry.path().string()) : Bytes{};
    }
    return entries;
}

TEST(GainCli, WritesTheExactSixteenBitFile) {
    const Bytes source = Pcm16({3, -3, -21846, 32767, -32768});
    const Bytes listed = RiffBuilder()
                             .Chunk("fmt ", FormatRecord(1, 1, 8000, 16))
                             .Chunk("LIST", {'I', 'N', 'F', 'O'})
                             .Chunk("data", Samples16({1200, -1300}))
                             .Build();
    struct Case {
        const char* name;
        Args options;  // after the file names
        Bytes input;
        int percent;  // as printed
        Bytes expected;
        std::string notice;  // the one message on standard error, if any
    };
    const Case cases[] = {
        // Without --percent, the proposal for the input's peak. The whole file is compared, so
        // a mono input must stay mono and every output must have the 44-byte header.
        {"silence", {}, Pcm16({0, 0}), 0, Pcm16({0, 0}), ""},
        {"399.95% truncated", {}, Pcm16({8193, -101, 2}), 399, Pcm16({32690, -402, 7}), ""},
        {"negative peak", {}, Pcm16({-8192, 8000}), 400, Pcm16({-32768, 32000}), ""},
        {"limited to 1000%", {}, Pcm16({1, -2, 3}), 1000, Pcm16({10, -20, 30}), ""},
        {"stereo", {}, Pcm16({1001, -4001}, 2), 818, Pcm16({8188, -32728}, 2), ""},
        {"8-bit", {}, WaveFile({160, 96}, 2, 8), 400, Pcm16({32767, -32768}, 2), kBitsChanged},
        {"unknown chunk", {}, listed, 1000, Pcm16({12000, -13000}), kUnknownTag + " [LIST]"},
        // With --percent.
        {"100%", {"--percent", "100"}, source, 100, source, ""},
        {"0%", {"--percent", "0"}, source, 0, Pcm16({0, 0, 0, 0, 0}), ""},
        {"50%", {"--percent", "50"}, source, 50, Pcm16({1, -1, -10923, 16383, -16384}), ""},
        {"150%", {"--percent=150"}, source, 150, Pcm16({4, -4, -32768, 32767, -32768}), ""},
        {"1000%", {"--percent", "1000"}, source, 1000, Pcm16({30, -30, -32768, 32767, -32768}), ""},
        {"8-bit mono",
         {"--percent", "100"},
         WaveFile({128, 129, 127, 255, 0}, 1, 8),
         100,
         Pcm16({0, 256, -256, 32512, -32768}),
         kBitsChanged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string input = dir.File("in.wav");
        const std::string output = dir.File("out.wav");
        WriteFile(input, c.input);
        Args args{input, "-o", output};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult r = Gain(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, GainLine(c.percent, input, output));
        EXPECT_EQ(r.err, c.notice.empty() ? "" : MessageLine(input, c.notice));
        EXPECT_EQ(ReadFile(output), c.expected);
        EXPECT_EQ(ReadFile(input), c.input);
    }
}

TEST(GainCli, BatchWritesEveryReadableInputAndReportsTheOthers) {
    TempDir dir;
    ASSERT_TRUE(fs::create_directory(dir.File("in")));
    ASSERT_TRUE(fs::create_directory(dir.File("out")));
    WriteFile(dir.File("in/tone.wav"), Pcm16({16384, -1000, 21}));
    WriteFile(dir.File("in/deep.wav"), WaveFile(Bytes(6, 0x10), 1, 24));
    WriteFile(dir.File("in/float.wav"), WaveFile(Bytes(8, 0), 1, 32, 3));
    WriteFile(dir.File("in/narrow.wav"), WaveFile({128, 148, 109, 130}, 1, 8));
    const Entries inputs = Snapshot(dir.File("in"));

    const RunResult r = Gain({"--out-dir", "out", "in/tone.wav", "in/deep.wav", "in/missing.wav",
                              "in/float.wav", "in/narrow.wav"},
                             dir.Path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, GainLine(200, "in/tone.wav", "out/tone.wav") +
                         GainLine(640, "in/narrow.wav", "out/narrow.wav"));
    EXPECT_EQ(r.err, MessageLine("in/deep.wav", kWrongFormat) +
                         MessageLine("in/missing.wav", kNotFound) +
                         MessageLine("in/float.wav", kWrongFormat) +
                         MessageLine("in/narrow.wav", kBitsChanged));
    EXPECT_EQ(Snapshot(dir.File("out")),
              (Entries{{"tone.wav", Pcm16({32767, -2000, 42})},
                       {"narrow.wav", Pcm16({0, 32767, -31129, 3276})}}));
    EXPECT_EQ(Snapshot(dir.File("in")), inputs);
}

TEST(GainCli, BatchNeverWritesOverAnInputNorTwiceToOneOutput) {
    TempDir dir;
    for (const char* folder : {"in", "other", "trap", "dup1", "dup2"}) {
        ASSERT_TRUE(fs::create_directory(dir.File(folder)));
    }
    const std::string a = dir.File("in/a.wav");
    const std::string b = dir.File("in/b.wav");
    const std::string otherA = dir.File("other/a.wav");
    const std::string linked = dir.File("other/c.wav");
    WriteFile(a, Pcm16({100, -100}));
    WriteFile(b, Pcm16({200, -200}));
    WriteFile(otherA, Pcm16({300, -300}));
    WriteFile(linked, Pcm16({7, -7}));
    fs::create_directory_symlink(dir.File("in"), dir.File("link"));
    fs::create_symlink(a, dir.File("trap/c.wav"));

    struct Input {
        std::string path;
        const std::string* refusal;  // null when the input is written
    };
    struct Case {
        const char* outDir;
        std::vector<Input> inputs;
    };
    const Case cases[] = {
        {"in", {{a, &kOverwrite}, {b, &kOverwrite}}},
        {"in/../in", {{a, &kOverwrite}, {b, &kOverwrite}}},
        {"link", {{a, &kOverwrite}, {b, &kOverwrite}}},
        // trap/c.wav is a link to the input a.
        {"trap", {{linked, &kOverwrite}, {a, nullptr}}},
        {"dup1", {{a, nullptr}, {otherA, &kDuplicate}, {b, nullptr}}},
        {"dup2", {{b, nullptr}, {b, &kDuplicate}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outDir);
        Entries expected = Snapshot(dir.Path());
        Args args{"--percent", "100", "--out-dir", dir.File(c.outDir)};
        std::string out;
        std::string err;
        for (const Input& input : c.inputs) {
            args.push_back(input.path);
            const std::string name = fs::path(input.path).filename().string();
            const std::string output = dir.File(c.outDir) + "/" + name;
            if (input.refusal != nullptr) {
                err += MessageLine(input.path, *input.refusal + output);
            } else {
                out += GainLine(100, input.path, output);
                expected[std::string(c.outDir) + "/" + name] = ReadFile(input.path);
            }
        }
        const RunResult r = Gain(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(Snapshot(dir.Path()), expected);
    }
}

TEST(GainCli, ProposePrintsOneLinePerReadableInputAndWritesNothing) {
    TempDir dir;
    WriteFile(dir.File("quarter.wav"), Pcm16({8192, -8192, 100, 0}, 2));
    WriteFile(dir.File("narrow.wav"), WaveFile({128, 160, 96}, 1, 8));
    WriteFile(dir.File("silent.wav"), Pcm16({0, 0}));
    WriteFile(dir.File("quiet.wav"), Pcm16({1, -2}));
    WriteFile(dir.File("odd.wav"), Pcm16({8193, -8000}));
    WriteFile(dir.File("deep.wav"), WaveFile(Bytes(6, 0x10), 1, 24));
    const Entries before = Snapshot(dir.Path());

    struct Case {
        Args args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        // An 8-bit input is only measured, so nothing is said about its depth.
        {{"--propose", "quarter.wav", "narrow.wav", "silent.wav", "quiet.wav", "odd.wav"},
         0,
         "400\tquarter.wav\n400\tnarrow.wav\n0\tsilent.wav\n1000\tquiet.wav\n399\todd.wav\n",
         ""},
        {{"--propose", "missing.wav", "quarter.wav", "deep.wav"},
         1,
         "400\tquarter.wav\n",
         MessageLine("missing.wav", kNotFound) + MessageLine("deep.wav", kWrongFormat)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const RunResult r = Gain(c.args, dir.Path());
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

TEST(GainCli, HelpPrintsTheUsageOnStandardOutput) {
    const RunResult r = Gain({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("使い方:\n")) << r.out;
    for (const char* form : {"sonorette-gain [--percent N] INPUT -o OUTPUT\n",
                             "sonorette-gain [--percent N] --out-dir DIR INPUT...\n",
                             "sonorette-gain --propose INPUT...\n"}) {
        EXPECT_NE(r.out.find(form), std::string::npos) << form;
    }
}

TEST(GainCli, UsageErrorsExitWithTwoShowTheUsageAndWriteNothing) {
    const std::string usage = Gain({"--help"}).out;
    ASSERT_FALSE(usage.empty());
    TempDir dir;
    WriteFile(dir.File("in.wav"), Pcm16({100, -100}));
    WriteFile(dir.File("second.wav"), Pcm16({200, -200}));
    ASSERT_TRUE(fs::create_directory(dir.File("outdir")));
    const Entries before = Snapshot(dir.Path());

    const Args cases[] = {
        {},
        {"--bogus", "in.wav", "-o", "out.wav"},
        {"--percent", "-1", "in.wav", "-o", "out.wav"},
        {"--percent", "1001", "in.wav", "-o", "out.wav"},
        {"--percent=1001", "in.wav", "-o", "out.wav"},
        {"--percent", "12.5", "in.wav", "-o", "out.wav"},
        {"--percent", "+50", "in.wav", "-o", "out.wav"},
        {"--percent", "99999", "in.wav", "-o", "out.wav"},
        {"--percent", "", "in.wav", "-o", "out.wav"},
        {"--percent=", "in.wav", "-o", "out.wav"},
        {"in.wav", "-o", "out.wav", "--percent"},
        {"in.wav", "-o"},
        {"in.wav", "-o", ""},
        {"--out-dir", "", "in.wav"},
        {"-o", "out.wav"},
        {"--out-dir", "outdir"},
        {"--propose"},
        {"in.wav"},
        {"--percent", "50", "in.wav"},
        {"in.wav", "second.wav", "-o", "out.wav"},
        {"in.wav", "-o", "out.wav", "--propose"},
        {"in.wav", "-o", "out.wav", "--out-dir", "outdir"},
        {"--out-dir", "outdir", "--propose", "in.wav"},
        {"--propose", "--percent", "50", "in.wav"},
    };
    for (const Args& args : cases) {
        std::string shown;
        for (const std::string& arg : args) {
            shown += "[" + arg + "] ";
        }
        SCOPED_TRACE(shown);
        const RunResult r = Gain(args, dir.Path());
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with("sonorette-gain: ")) << r.err;
        EXPECT_TRUE(r.err.ends_with("\n\n" + usage)) << r.err;
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

TEST(GainCli, OutputMayBeTheInputItselfAndKeepsItsPermissions) {
    for (const char* output : {"self.wav", "./self.wav"}) {
        SCOPED_TRACE(output);
        TempDir dir;
        const std::string input = dir.File("self.wav");
        WriteFile(input, Pcm16({1000, -3001}));
        ASSERT_EQ(::chmod(input.c_str(), 0640), 0);
        const RunResult r = Gain({"--percent", "200", "self.wav", "-o", output}, dir.Path());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, GainLine(200, "self.wav", output));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Snapshot(dir.Path()), (Entries{{"self.wav", Pcm16({2000, -6002})}}));
        struct stat status {};
        ASSERT_EQ(::stat(input.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640u);
    }
}

TEST(GainCli, FailuresExitWithOneAndChangeNoFile) {
    TempDir dir;
    // The output of in.wav (2044 bytes) does not fit within 1024 bytes.
    WriteFile(dir.File("in.wav"), Pcm16(Samples(1000, 1000)));
    WriteFile(dir.File("old.wav"), Pcm16({1, 2, 3}));
    ASSERT_TRUE(fs::create_directory(dir.File("folder.wav")));
    const Entries before = Snapshot(dir.Path());
    const std::string cannotSave = MessageLine("in.wav", kCannotSave);
    const std::string cannotOpen = MessageLine("in.wav", kCannotOpen);

    struct Case {
        const char* name;
        Args args;
        bool cutShort;  // whether writes stop at 1024 bytes, as on a full disk
        std::string err;
    };
    const Case cases[] = {
        {"cut short, old output kept", {"in.wav", "-o", "old.wav"}, true, cannotSave},
        {"cut short, nothing created", {"in.wav", "-o", "new.wav"}, true, cannotSave},
        {"cut short, input kept", {"--percent", "50", "in.wav", "-o", "in.wav"}, true, cannotSave},
        {"output is a folder", {"in.wav", "-o", "folder.wav"}, false, cannotOpen},
        {"output's folder missing", {"in.wav", "-o", "absent/out.wav"}, false, cannotOpen},
        {"batch into a missing folder",
         {"--out-dir", "absent", "in.wav", "old.wav"},
         false,
         cannotOpen + MessageLine("old.wav", kCannotOpen)},
        {"input missing", {"no.wav", "-o", "new.wav"}, false, MessageLine("no.wav", kNotFound)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = Gain(c.args, dir.Path(), c.cutShort ? 1024 : RLIM_INFINITY);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

}  // namespace
