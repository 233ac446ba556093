// sonorette-gain run as a child process: normalising and fixed percentages on real files, 8-bit
// and mono inputs, batches with bad inputs, refusals to overwrite inputs or to write one output
// twice, --propose, usage errors, --help, the wording of every message on standard error, and
// saving that never damages the file that was there before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "TestSupport.h"

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
using testsupport::TempDir;
using testsupport::ToSamples16;
using testsupport::WriteFile;

using Args = std::vector<std::string>;
using Samples = std::vector<std::int16_t>;

const std::string kGainPath = SONORETTE_GAIN_PATH;
const std::string kWaveGenPath = SONORETTE_WAVEGEN_PATH;

const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kUnknownTag = "不明なタグが検出されました。処理は継続可能です。";
const std::string kCannotOpen = "ファイルが開けませんでした。";
const std::string kWrongFormat = "フォーマットが違う音声ファイルを処理しようとしました。";
const std::string kBitsChanged = "ビット数を変更しました。";
const std::string kCannotSave = "ファイルを保存できませんでした。";

const std::string kUsageHead = "使い方:";
const std::string kUsageSingle = "sonorette-gain [--percent N] INPUT -o OUTPUT";
const std::string kUsageBatch = "sonorette-gain [--percent N] --out-dir DIR INPUT...";
const std::string kUsagePropose = "sonorette-gain --propose INPUT...";

// ---------------------------------------------------------------------------------------------
// Running a program

struct RunOptions {
    // The child's working folder; the test's own when empty.
    std::string workDir;
    // The largest file the child may write, in bytes (RLIMIT_FSIZE); a write beyond it fails
    // with EFBIG instead of raising SIGXFSZ.
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

struct RunResult {
    // The exit status, or -1 when the program did not exit normally.
    int exitCode = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

void CloseBoth(int fds[2]) {
    ::close(fds[0]);
    ::close(fds[1]);
}

// Runs program with args, stdin from /dev/null, capturing stdout and stderr separately.
RunResult Run(const std::string& program, const Args& args, const RunOptions& options = {}) {
    RunResult result;
    std::vector<std::string> strings;
    strings.push_back(program);
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe(outPipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    if (::pipe(errPipe) != 0) {
        CloseBoth(outPipe);
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char* workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();

    const pid_t pid = ::fork();
    if (pid < 0) {
        CloseBoth(outPipe);
        CloseBoth(errPipe);
        ::close(devNull);
        ADD_FAILURE() << "fork failed";
        return result;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        if (::dup2(outPipe[1], STDOUT_FILENO) < 0 || ::dup2(errPipe[1], STDERR_FILENO) < 0 ||
            devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0) {
            ::_exit(126);
        }
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        if (workDir != nullptr && ::chdir(workDir) != 0) {
            ::_exit(126);
        }
        if (options.fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                ::_exit(126);
            }
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (devNull >= 0) {
        ::close(devNull);
    }

    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            ADD_FAILURE() << "poll failed";
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid failed";
            return result;
        }
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

RunResult RunGain(const Args& args, const RunOptions& options = {}) {
    return Run(kGainPath, args, options);
}

// Writes a tone with sonorette-wavegen; false (with the reason recorded) when it fails.
::testing::AssertionResult Generate(const std::string& path, const Args& options) {
    Args args{path};
    args.insert(args.end(), options.begin(), options.end());
    const RunResult r = Run(kWaveGenPath, args);
    if (r.exitCode != 0) {
        return ::testing::AssertionFailure()
               << "sonorette-wavegen failed (" << r.exitCode << "): " << r.err;
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------
// Expected output

std::string GainLine(int percent, const std::string& input, const std::string& output) {
    return std::to_string(percent) + "%\t" + input + " -> " + output + "\n";
}

std::string ProposeLine(int percent, const std::string& input) {
    return std::to_string(percent) + "\t" + input + "\n";
}

std::string MessageLine(const std::string& file, const std::string& text) {
    return "sonorette-gain: " + file + ": " + text + "\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// A 16-bit sample scaled by percent: the product with percent * 0.01, truncated toward zero and
// limited to the 16-bit range.
std::int16_t Gained(std::int16_t sample, int percent) {
    const double product = std::trunc(static_cast<double>(sample) * (percent * 0.01));
    if (product > 32767.0) {
        return 32767;
    }
    if (product < -32768.0) {
        return -32768;
    }
    return static_cast<std::int16_t>(product);
}

// 8-bit samples (unsigned, silence at 128) as 16-bit values.
Samples Widen8(const Bytes& samples) {
    Samples widened;
    for (const std::uint8_t u : samples) {
        widened.push_back(static_cast<std::int16_t>((u - 128) * 256));
    }
    return widened;
}

int MaxMagnitude(const Samples& samples) {
    int largest = 0;
    for (const std::int16_t s : samples) {
        largest = std::max(largest, std::abs(static_cast<int>(s)));
    }
    return largest;
}

// 100 / peak truncated and limited to 1000, the peak being the largest magnitude over 32768;
// 0 for silence. Widened 8-bit samples give the same value as the 8-bit samples themselves.
int ExpectedPercent(const Samples& samples) {
    const int largest = MaxMagnitude(samples);
    return largest == 0 ? 0 : std::min(1000, 3276800 / largest);
}

Bytes Pcm16File(std::uint16_t channels, std::uint32_t rate, const Samples& samples) {
    return RiffBuilder()
        .Chunk("fmt ", FormatRecord(1, channels, rate, 16))
        .Chunk("data", Samples16(samples))
        .Build();
}

Bytes Pcm8File(std::uint16_t channels, std::uint32_t rate, const Bytes& samples) {
    return RiffBuilder()
        .Chunk("fmt ", FormatRecord(1, channels, rate, 8))
        .Chunk("data", samples)
        .Build();
}

// A file of a depth the program does not handle: formatTag and bits as given, a few frames.
Bytes OtherFormatFile(std::uint16_t formatTag, std::uint16_t bits) {
    return RiffBuilder()
        .Chunk("fmt ", FormatRecord(formatTag, 1, 44100, bits))
        .Chunk("data", Bytes(static_cast<std::size_t>(bits / 8) * 6, 0x10))
        .Build();
}

std::uint16_t LoadLE16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t LoadLE32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::string IdAt(const Bytes& b, std::size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// A wave file with the 44-byte header: RIFF, WAVE, a 16-byte fmt chunk, then the data chunk up to
// the end of the file.
struct CanonicalWave {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    Bytes data;

    Samples Samples16() const { return ToSamples16(data.data(), data.size()); }
};

::testing::AssertionResult ReadCanonical(const std::string& path, CanonicalWave* wave) {
    if (!FileExists(path)) {
        return ::testing::AssertionFailure() << path << " does not exist";
    }
    const Bytes file = ReadFile(path);
    if (file.size() < 44) {
        return ::testing::AssertionFailure() << path << " holds only " << file.size() << " bytes";
    }
    if (IdAt(file, 0) != "RIFF" || IdAt(file, 8) != "WAVE" || IdAt(file, 12) != "fmt " ||
        IdAt(file, 36) != "data") {
        return ::testing::AssertionFailure() << path << " has not the 44-byte header layout";
    }
    if (LoadLE32(file, 4) != file.size() - 8) {
        return ::testing::AssertionFailure() << path << ": RIFF size " << LoadLE32(file, 4)
                                             << " for a file of " << file.size() << " bytes";
    }
    if (LoadLE32(file, 16) != 16) {
        return ::testing::AssertionFailure() << path << ": fmt size " << LoadLE32(file, 16);
    }
    if (LoadLE32(file, 40) != file.size() - 44) {
        return ::testing::AssertionFailure() << path << ": data size " << LoadLE32(file, 40)
                                             << " for a file of " << file.size() << " bytes";
    }
    wave->formatTag = LoadLE16(file, 20);
    wave->channels = LoadLE16(file, 22);
    wave->samplesPerSec = LoadLE32(file, 24);
    wave->avgBytesPerSec = LoadLE32(file, 28);
    wave->blockAlign = LoadLE16(file, 32);
    wave->bitsPerSample = LoadLE16(file, 34);
    wave->data.assign(file.begin() + 44, file.end());
    return ::testing::AssertionSuccess();
}

// The samples of a 44-byte-header input as 16-bit values (8-bit ones widened).
Samples InputSamples(const CanonicalWave& wave) {
    return wave.bitsPerSample == 8 ? Widen8(wave.data) : wave.Samples16();
}

// path is a 44-byte-header 16-bit PCM file of channels and rate whose samples are source scaled
// by percent.
::testing::AssertionResult HoldsGained(const std::string& path, std::uint16_t channels,
                                       std::uint32_t rate, const Samples& source, int percent) {
    CanonicalWave wave;
    if (::testing::AssertionResult parsed = ReadCanonical(path, &wave); !parsed) {
        return parsed;
    }
    const auto blockAlign = static_cast<std::uint16_t>(channels * 2);
    if (wave.formatTag != 1 || wave.channels != channels || wave.samplesPerSec != rate ||
        wave.avgBytesPerSec != rate * blockAlign || wave.blockAlign != blockAlign ||
        wave.bitsPerSample != 16) {
        return ::testing::AssertionFailure()
               << path << ": format " << wave.formatTag << ", " << wave.channels << " channels, "
               << wave.samplesPerSec << " Hz, " << wave.avgBytesPerSec << " bytes/s, align "
               << wave.blockAlign << ", " << wave.bitsPerSample << " bits; expected PCM, "
               << channels << " channels, " << rate << " Hz, 16 bits";
    }
    const Samples samples = wave.Samples16();
    if (samples.size() != source.size() || wave.data.size() != source.size() * 2) {
        return ::testing::AssertionFailure()
               << path << ": " << wave.data.size() << " data bytes, expected " << source.size() * 2;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] != Gained(source[i], percent)) {
            return ::testing::AssertionFailure()
                   << path << ": sample " << i << " is " << samples[i] << ", expected "
                   << Gained(source[i], percent) << " (" << source[i] << " at " << percent << "%)";
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Sorted(std::initializer_list<std::string> names) {
    std::vector<std::string> sorted(names);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// ---------------------------------------------------------------------------------------------

TEST(GainCli, WithoutPercentTheProposalBringsThePeakToFullScale) {
    TempDir dir;
    const std::string input = dir.File("quarter.wav");
    const std::string output = dir.File("loud.wav");
    ASSERT_TRUE(Generate(input, {"--peak", "0.25", "--seconds", "0.25"}));
    CanonicalWave source;
    ASSERT_TRUE(ReadCanonical(input, &source));
    ASSERT_EQ(source.bitsPerSample, 16);
    ASSERT_EQ(source.channels, 2);
    const Samples samples = source.Samples16();
    ASSERT_EQ(ExpectedPercent(samples), 400);
    const Bytes inputBefore = ReadFile(input);

    const RunResult r = RunGain({input, "-o", output});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(400, input, output));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(HoldsGained(output, 2, 44100, samples, 400));
    EXPECT_EQ(ReadFile(input), inputBefore);

    CanonicalWave result;
    ASSERT_TRUE(ReadCanonical(output, &result));
    const Samples gained = result.Samples16();
    ASSERT_FALSE(gained.empty());
    EXPECT_GE(*std::max_element(gained.begin(), gained.end()), 32700);
    EXPECT_LE(*std::min_element(gained.begin(), gained.end()), -32700);
    EXPECT_EQ(Names(dir.Path()), Sorted({"quarter.wav", "loud.wav"}));
}

TEST(GainCli, ProposalIsTruncatedLimitedToAThousandAndZeroForSilence) {
    struct Case {
        const char* name;
        Samples samples;
        int percent;
    };
    const Case cases[] = {
        {"silence", {0, 0, 0, 0}, 0},
        {"truncated", {8193, -100, 2}, 399},
        {"exact", {-8192, 8000}, 400},
        {"negative-full-scale", {-32768, 5}, 100},
        {"positive-full-scale", {32767, -5}, 100},
        {"just-below-limit", {3277, -3}, 999},
        {"at-limit", {-3276, 1}, 1000},
        {"quiet", {1, -2, 3, 0}, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string input = dir.File("in.wav");
        const std::string output = dir.File("out.wav");
        WriteFile(input, Pcm16File(1, 8000, c.samples));
        ASSERT_EQ(ExpectedPercent(c.samples), c.percent);

        const RunResult r = RunGain({input, "-o", output});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, GainLine(c.percent, input, output));
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(HoldsGained(output, 1, 8000, c.samples, c.percent));
    }
}

TEST(GainCli, PercentGivesExactSamplesTruncatedTowardZeroAndSaturated) {
    const Samples source = {0,     1,     -1,    3,      -3,     1001,  -1001,  21845, -21846,
                            21846, 16383, 16384, -16384, -16385, 30000, -30000, 32767, -32768};
    struct Case {
        const char* percent;
        Samples expected;
    };
    const Case cases[] = {
        {"100", source},
        {"0", Samples(source.size(), 0)},
        {"50",
         {0, 0, 0, 1, -1, 500, -500, 10922, -10923, 10923, 8191, 8192, -8192, -8192, 15000, -15000,
          16383, -16384}},
        {"150",
         {0, 1, -1, 4, -4, 1501, -1501, 32767, -32768, 32767, 24574, 24576, -24576, -24577, 32767,
          -32768, 32767, -32768}},
        {"200",
         {0, 2, -2, 6, -6, 2002, -2002, 32767, -32768, 32767, 32766, 32767, -32768, -32768, 32767,
          -32768, 32767, -32768}},
        {"1000",
         {0, 10, -10, 30, -30, 10010, -10010, 32767, -32768, 32767, 32767, 32767, -32768, -32768,
          32767, -32768, 32767, -32768}},
    };
    TempDir dir;
    const std::string input = dir.File("steps.wav");
    WriteFile(input, Pcm16File(1, 11025, source));
    const Bytes inputBefore = ReadFile(input);

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--percent ") + c.percent);
        const std::string output = dir.File(std::string("out") + c.percent + ".wav");
        const RunResult r = RunGain({"--percent", c.percent, input, "-o", output});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, GainLine(std::atoi(c.percent), input, output));
        EXPECT_EQ(r.err, "");
        CanonicalWave result;
        ASSERT_TRUE(ReadCanonical(output, &result));
        EXPECT_EQ(result.formatTag, 1);
        EXPECT_EQ(result.channels, 1);
        EXPECT_EQ(result.samplesPerSec, 11025u);
        EXPECT_EQ(result.avgBytesPerSec, 22050u);
        EXPECT_EQ(result.blockAlign, 2);
        EXPECT_EQ(result.bitsPerSample, 16);
        EXPECT_EQ(result.Samples16(), c.expected);
        EXPECT_TRUE(HoldsGained(output, 1, 11025, source, std::atoi(c.percent)));
    }

    // The value may also stand after '=', and may come after the file names.
    const std::string inlineOutput = dir.File("inline.wav");
    const RunResult r = RunGain({input, "-o", inlineOutput, "--percent=150"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(150, input, inlineOutput));
    EXPECT_EQ(ReadFile(inlineOutput), ReadFile(dir.File("out150.wav")));

    // A generated stereo tone at a percentage that is not a power of two.
    const std::string tone = dir.File("tone.wav");
    const std::string toneOutput = dir.File("tone-out.wav");
    ASSERT_TRUE(Generate(tone, {"--peak", "0.9", "--seconds", "0.1", "--rate", "48000"}));
    CanonicalWave toneWave;
    ASSERT_TRUE(ReadCanonical(tone, &toneWave));
    const RunResult toneRun = RunGain({"--percent", "137", tone, "-o", toneOutput});
    EXPECT_EQ(toneRun.exitCode, 0);
    EXPECT_EQ(toneRun.out, GainLine(137, tone, toneOutput));
    EXPECT_TRUE(HoldsGained(toneOutput, 2, 48000, toneWave.Samples16(), 137));

    EXPECT_EQ(ReadFile(input), inputBefore);
}

TEST(GainCli, EightBitInputIsWidenedTo16BitsWithOneNotice) {
    TempDir dir;

    // Exact widening: (u - 128) * 256.
    const std::string steps = dir.File("steps8.wav");
    const std::string stepsOut = dir.File("steps16.wav");
    WriteFile(steps, Pcm8File(1, 8000, {128, 129, 127, 160, 96, 255, 0, 200}));
    RunResult r = RunGain({"--percent", "100", steps, "-o", stepsOut});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(100, steps, stepsOut));
    EXPECT_EQ(r.err, MessageLine(steps, kBitsChanged));
    CanonicalWave widened;
    ASSERT_TRUE(ReadCanonical(stepsOut, &widened));
    EXPECT_EQ(widened.formatTag, 1);
    EXPECT_EQ(widened.channels, 1);
    EXPECT_EQ(widened.samplesPerSec, 8000u);
    EXPECT_EQ(widened.avgBytesPerSec, 16000u);
    EXPECT_EQ(widened.blockAlign, 2);
    EXPECT_EQ(widened.bitsPerSample, 16);
    EXPECT_EQ(widened.Samples16(), (Samples{0, 256, -256, 8192, -8192, 32512, -32768, 18432}));

    // A stereo tone without --percent: the proposal from the 8-bit peak, applied after widening.
    const std::string tone = dir.File("tone8.wav");
    const std::string toneOut = dir.File("tone16.wav");
    ASSERT_TRUE(
        Generate(tone, {"--bits", "8", "--peak", "0.25", "--seconds", "0.2", "--rate", "22050"}));
    CanonicalWave source;
    ASSERT_TRUE(ReadCanonical(tone, &source));
    ASSERT_EQ(source.bitsPerSample, 8);
    ASSERT_EQ(source.channels, 2);
    const Samples sourceSamples = InputSamples(source);
    ASSERT_EQ(ExpectedPercent(sourceSamples), 400);
    r = RunGain({tone, "-o", toneOut});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(400, tone, toneOut));
    EXPECT_EQ(r.err, MessageLine(tone, kBitsChanged));
    EXPECT_TRUE(HoldsGained(toneOut, 2, 22050, sourceSamples, 400));

    // In a batch each 8-bit input gets the notice once, under its own name; a 16-bit one none.
    const std::string other = dir.File("other8.wav");
    const std::string wide = dir.File("wide.wav");
    WriteFile(other, Pcm8File(2, 8000, {100, 150, 128, 128}));
    WriteFile(wide, Pcm16File(1, 8000, {1000, -1000}));
    const std::string out = dir.File("out");
    ASSERT_TRUE(fs::create_directory(out));
    r = RunGain({"--percent", "50", "--out-dir", out, steps, wide, other});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, MessageLine(steps, kBitsChanged) + MessageLine(other, kBitsChanged));
    EXPECT_EQ(r.out, GainLine(50, steps, out + "/steps8.wav") +
                         GainLine(50, wide, out + "/wide.wav") +
                         GainLine(50, other, out + "/other8.wav"));
    EXPECT_TRUE(HoldsGained(out + "/steps8.wav", 1, 8000,
                            Widen8({128, 129, 127, 160, 96, 255, 0, 200}), 50));
    EXPECT_TRUE(HoldsGained(out + "/wide.wav", 1, 8000, {1000, -1000}, 50));
    EXPECT_TRUE(HoldsGained(out + "/other8.wav", 2, 8000, Widen8({100, 150, 128, 128}), 50));
}

TEST(GainCli, MonoStaysMono) {
    TempDir dir;
    const std::string input = dir.File("mono.wav");
    ASSERT_TRUE(Generate(
        input, {"--channels", "1", "--rate", "22050", "--seconds", "0.3", "--peak", "0.5"}));
    CanonicalWave source;
    ASSERT_TRUE(ReadCanonical(input, &source));
    ASSERT_EQ(source.channels, 1);
    const Samples samples = source.Samples16();
    const int proposal = ExpectedPercent(samples);
    EXPECT_EQ(proposal, 200);

    const std::string normalised = dir.File("normalised.wav");
    RunResult r = RunGain({input, "-o", normalised});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(proposal, input, normalised));
    EXPECT_TRUE(HoldsGained(normalised, 1, 22050, samples, proposal));

    const std::string quieter = dir.File("quieter.wav");
    r = RunGain({"--percent", "30", input, "-o", quieter});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(HoldsGained(quieter, 1, 22050, samples, 30));

    // 8-bit mono stays mono too.
    const std::string mono8 = dir.File("mono8.wav");
    const std::string mono8Out = dir.File("mono8-out.wav");
    ASSERT_TRUE(Generate(mono8, {"--channels", "1", "--bits", "8", "--rate", "8000", "--seconds",
                                 "0.2", "--peak", "0.3"}));
    CanonicalWave source8;
    ASSERT_TRUE(ReadCanonical(mono8, &source8));
    r = RunGain({"--percent", "250", mono8, "-o", mono8Out});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(HoldsGained(mono8Out, 1, 8000, InputSamples(source8), 250));
}

TEST(GainCli, OutputHasThe44ByteHeaderWhateverTheInputLayout) {
    TempDir dir;
    const Samples samples = {100, -200, 300, -400, 500, -600};

    // A WAVE_FORMAT_EXTENSIBLE record with the PCM sub-format, behind a bext chunk.
    Bytes extensible = FormatRecord(0xFFFE, 2, 32000, 16);
    AppendLE16(extensible, 22);
    AppendLE16(extensible, 16);
    AppendLE32(extensible, 3);
    const Bytes pcmGuid = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                           0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    extensible.insert(extensible.end(), pcmGuid.begin(), pcmGuid.end());
    const std::string input = dir.File("extensible.wav");
    const std::string output = dir.File("plain.wav");
    WriteFile(input, RiffBuilder()
                         .Chunk("bext", Bytes(10, 0x20))
                         .Chunk("fmt ", extensible)
                         .Chunk("data", Samples16(samples))
                         .Build());

    const RunResult r = RunGain({"--percent", "300", input, "-o", output});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(300, input, output));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(HoldsGained(output, 2, 32000, samples, 300));
    EXPECT_EQ(ReadFile(output).size(), 44 + samples.size() * 2);
}

TEST(GainCli, BatchWritesEveryReadableInputAndGoesOnAfterBadOnes) {
    TempDir dir;
    const std::string in = dir.File("in");
    const std::string out = dir.File("out");
    ASSERT_TRUE(fs::create_directory(in));
    ASSERT_TRUE(fs::create_directory(out));

    const std::string tone = in + "/tone.wav";
    const std::string bad = in + "/deep.wav";
    const std::string missing = in + "/missing.wav";
    const std::string steps = in + "/steps.wav";
    const std::string narrow = in + "/narrow.wav";
    ASSERT_TRUE(Generate(tone, {"--peak", "0.25", "--seconds", "0.1"}));
    WriteFile(bad, OtherFormatFile(1, 24));
    const Samples stepSamples = {16384, -1000, 20, 0};
    WriteFile(steps, Pcm16File(1, 8000, stepSamples));
    const Bytes narrowSamples = {128, 148, 108, 130};
    WriteFile(narrow, Pcm8File(1, 8000, narrowSamples));
    CanonicalWave toneWave;
    ASSERT_TRUE(ReadCanonical(tone, &toneWave));
    const std::vector<std::string> inputNames = Names(in);
    const Bytes badBefore = ReadFile(bad);

    // Each input gets its own proposal.
    RunResult r = RunGain({"--out-dir", out, tone, bad, missing, steps, narrow});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, GainLine(400, tone, out + "/tone.wav") +
                         GainLine(200, steps, out + "/steps.wav") +
                         GainLine(640, narrow, out + "/narrow.wav"));
    EXPECT_EQ(r.err, MessageLine(bad, kWrongFormat) + MessageLine(missing, kNotFound) +
                         MessageLine(narrow, kBitsChanged));
    EXPECT_EQ(Names(out), Sorted({"tone.wav", "steps.wav", "narrow.wav"}));
    EXPECT_TRUE(HoldsGained(out + "/tone.wav", 2, 44100, toneWave.Samples16(), 400));
    EXPECT_TRUE(HoldsGained(out + "/steps.wav", 1, 8000, stepSamples, 200));
    EXPECT_TRUE(HoldsGained(out + "/narrow.wav", 1, 8000, Widen8(narrowSamples), 640));
    EXPECT_EQ(Names(in), inputNames);
    EXPECT_EQ(ReadFile(bad), badBefore);

    // With --percent, every input at that percentage; outputs already there are replaced.
    r = RunGain({"--percent", "75", "--out-dir", out, steps, tone});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              GainLine(75, steps, out + "/steps.wav") + GainLine(75, tone, out + "/tone.wav"));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(HoldsGained(out + "/steps.wav", 1, 8000, stepSamples, 75));
    EXPECT_TRUE(HoldsGained(out + "/tone.wav", 2, 44100, toneWave.Samples16(), 75));
    EXPECT_EQ(Names(out), Sorted({"tone.wav", "steps.wav", "narrow.wav"}));

    // A bad last input still lets the earlier ones through.
    const std::string out2 = dir.File("out2");
    ASSERT_TRUE(fs::create_directory(out2));
    r = RunGain({"--out-dir", out2, steps, missing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, GainLine(200, steps, out2 + "/steps.wav"));
    EXPECT_EQ(r.err, MessageLine(missing, kNotFound));
    EXPECT_TRUE(HoldsGained(out2 + "/steps.wav", 1, 8000, stepSamples, 200));
}

TEST(GainCli, BatchNeverWritesOverOneOfItsInputs) {
    TempDir dir;
    const std::string in = dir.File("in");
    const std::string elsewhere = dir.File("elsewhere");
    ASSERT_TRUE(fs::create_directory(in));
    ASSERT_TRUE(fs::create_directory(elsewhere));
    const std::string a = in + "/a.wav";
    const std::string b = in + "/b.wav";
    ASSERT_TRUE(Generate(a, {"--peak", "0.25", "--seconds", "0.05"}));
    WriteFile(b, Pcm16File(1, 8000, {100, -100, 50}));
    const Bytes aBefore = ReadFile(a);
    const Bytes bBefore = ReadFile(b);
    const std::vector<std::string> inNames = Sorted({"a.wav", "b.wav"});

    auto expectInputsUntouched = [&]() {
        EXPECT_EQ(ReadFile(a), aBefore);
        EXPECT_EQ(ReadFile(b), bBefore);
        EXPECT_EQ(Names(in), inNames);
    };
    auto expectRefusals = [](const RunResult& r, const std::vector<std::string>& inputs) {
        const std::vector<std::string> lines = Lines(r.err);
        ASSERT_EQ(lines.size(), inputs.size()) << r.err;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            EXPECT_TRUE(StartsWith(lines[i], "sonorette-gain: " + inputs[i] + ": ")) << lines[i];
            EXPECT_GT(lines[i].size(), ("sonorette-gain: " + inputs[i] + ": ").size());
        }
    };

    {
        SCOPED_TRACE("--out-dir is the inputs' own folder");
        const RunResult r = RunGain({"--out-dir", in, a, b});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        expectRefusals(r, {a, b});
        expectInputsUntouched();
    }
    {
        SCOPED_TRACE("the same folder spelled another way");
        const RunResult r = RunGain({"--percent", "50", "--out-dir", "./in/../in", a, "in/b.wav"},
                                    RunOptions{dir.Path()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        expectRefusals(r, {a, "in/b.wav"});
        expectInputsUntouched();
    }
    {
        SCOPED_TRACE("a symbolic link to the inputs' folder");
        const std::string link = dir.File("link");
        fs::create_directory_symlink(in, link);
        const RunResult r = RunGain({"--out-dir", link, a, b});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        expectRefusals(r, {a, b});
        expectInputsUntouched();
    }
    {
        SCOPED_TRACE("an output name that is a link to an input; the other input is written");
        const std::string c = elsewhere + "/c.wav";
        WriteFile(c, Pcm16File(1, 8000, {7, -7}));
        const Bytes cBefore = ReadFile(c);
        const std::string out = dir.File("out");
        ASSERT_TRUE(fs::create_directory(out));
        fs::create_symlink(a, out + "/c.wav");
        const RunResult r = RunGain({"--percent", "200", "--out-dir", out, c, a});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, GainLine(200, a, out + "/a.wav"));
        expectRefusals(r, {c});
        expectInputsUntouched();
        EXPECT_EQ(ReadFile(c), cBefore);
        EXPECT_TRUE(fs::is_symlink(out + "/c.wav"));
        CanonicalWave aWave;
        ASSERT_TRUE(ReadCanonical(a, &aWave));
        EXPECT_TRUE(HoldsGained(out + "/a.wav", 2, 44100, aWave.Samples16(), 200));
        EXPECT_EQ(Names(out), Sorted({"a.wav", "c.wav"}));
    }
    {
        SCOPED_TRACE("one input refused, the next written");
        const std::string d = elsewhere + "/d.wav";
        WriteFile(d, Pcm16File(1, 8000, {1000, -3}));
        const RunResult r = RunGain({"--percent", "100", "--out-dir", in, a, d});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, GainLine(100, d, in + "/d.wav"));
        expectRefusals(r, {a});
        EXPECT_EQ(ReadFile(a), aBefore);
        EXPECT_TRUE(HoldsGained(in + "/d.wav", 1, 8000, {1000, -3}, 100));
    }
}

TEST(GainCli, BatchRefusesASecondInputForAnOutputNameAlreadyUsed) {
    TempDir dir;
    const std::string one = dir.File("one");
    const std::string two = dir.File("two");
    const std::string out = dir.File("out");
    ASSERT_TRUE(fs::create_directory(one));
    ASSERT_TRUE(fs::create_directory(two));
    ASSERT_TRUE(fs::create_directory(out));
    const Samples first = {1000, -2000, 3000};
    const Samples second = {-5, 5, -5, 5};
    const Samples third = {12, 34};
    const std::string x1 = one + "/x.wav";
    const std::string x2 = two + "/x.wav";
    const std::string y = two + "/y.wav";
    WriteFile(x1, Pcm16File(1, 8000, first));
    WriteFile(x2, Pcm16File(2, 16000, second));
    WriteFile(y, Pcm16File(1, 8000, third));
    const Bytes x2Before = ReadFile(x2);

    RunResult r = RunGain({"--percent", "100", "--out-dir", out, x1, x2, y});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, GainLine(100, x1, out + "/x.wav") + GainLine(100, y, out + "/y.wav"));
    std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_TRUE(StartsWith(lines[0], "sonorette-gain: " + x2 + ": ")) << lines[0];
    // The first input's output stands; the second did not replace it.
    EXPECT_TRUE(HoldsGained(out + "/x.wav", 1, 8000, first, 100));
    EXPECT_TRUE(HoldsGained(out + "/y.wav", 1, 8000, third, 100));
    EXPECT_EQ(Names(out), Sorted({"x.wav", "y.wav"}));
    EXPECT_EQ(ReadFile(x2), x2Before);

    // The same input named twice is written once.
    const std::string out2 = dir.File("out2");
    ASSERT_TRUE(fs::create_directory(out2));
    r = RunGain({"--percent", "300", "--out-dir", out2, y, y});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, GainLine(300, y, out2 + "/y.wav"));
    lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_TRUE(StartsWith(lines[0], "sonorette-gain: " + y + ": ")) << lines[0];
    EXPECT_TRUE(HoldsGained(out2 + "/y.wav", 1, 8000, third, 300));
    EXPECT_EQ(Names(out2), Sorted({"y.wav"}));
}

TEST(GainCli, ProposePrintsOneLinePerReadableInputAndWritesNothing) {
    TempDir dir;
    const std::string quarter = dir.File("quarter.wav");
    const std::string half = dir.File("half.wav");
    const std::string narrow = dir.File("narrow.wav");
    const std::string silent = dir.File("silent.wav");
    const std::string quiet = dir.File("quiet.wav");
    const std::string odd = dir.File("odd.wav");
    const std::string deep = dir.File("deep.wav");
    const std::string missing = dir.File("missing.wav");
    ASSERT_TRUE(Generate(quarter, {"--peak", "0.25", "--seconds", "0.1"}));
    ASSERT_TRUE(Generate(half, {"--peak", "0.5", "--seconds", "0.1", "--channels", "1"}));
    ASSERT_TRUE(Generate(narrow, {"--peak", "0.25", "--seconds", "0.1", "--bits", "8"}));
    WriteFile(silent, Pcm16File(2, 8000, {0, 0, 0, 0}));
    WriteFile(quiet, Pcm16File(1, 8000, {2, -1}));
    WriteFile(odd, Pcm16File(1, 8000, {8193, -8000}));
    WriteFile(deep, OtherFormatFile(1, 24));

    std::vector<std::pair<std::string, Bytes>> before;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path())) {
        before.emplace_back(entry.path().string(), ReadFile(entry.path().string()));
    }
    std::sort(before.begin(), before.end());
    const std::vector<std::string> namesBefore = Names(dir.Path());

    RunResult r = RunGain({"--propose", quarter, half, narrow, silent, quiet, odd});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, ProposeLine(400, quarter) + ProposeLine(200, half) + ProposeLine(400, narrow) +
                         ProposeLine(0, silent) + ProposeLine(1000, quiet) + ProposeLine(399, odd));
    // An 8-bit input is only measured: no notice about its depth.
    EXPECT_EQ(r.err, "");

    r = RunGain({"--propose", missing, quarter, deep, silent});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, ProposeLine(400, quarter) + ProposeLine(0, silent));
    EXPECT_EQ(r.err, MessageLine(missing, kNotFound) + MessageLine(deep, kWrongFormat));

    EXPECT_EQ(Names(dir.Path()), namesBefore);
    for (const auto& [path, bytes] : before) {
        EXPECT_EQ(ReadFile(path), bytes) << path;
    }
}

TEST(GainCli, UsageErrorsExitWithTwoAndWriteNothing) {
    TempDir dir;
    const std::string input = dir.File("in.wav");
    const std::string second = dir.File("second.wav");
    const std::string output = dir.File("out.wav");
    const std::string outDir = dir.File("outdir");
    WriteFile(input, Pcm16File(1, 8000, {100, -100}));
    WriteFile(second, Pcm16File(1, 8000, {200, -200}));
    ASSERT_TRUE(fs::create_directory(outDir));

    const std::vector<Args> cases = {
        {},
        {"--bogus", input, "-o", output},
        {"-x", input, "-o", output},
        {"--percent", "-1", input, "-o", output},
        {"--percent", "1001", input, "-o", output},
        {"--percent", "12.5", input, "-o", output},
        {"--percent", "abc", input, "-o", output},
        {"--percent", "", input, "-o", output},
        {"--percent", "5x", input, "-o", output},
        {"--percent", "+50", input, "-o", output},
        {"--percent", "99999", input, "-o", output},
        {"--percent=1001", input, "-o", output},
        {"--percent=-1", input, "-o", output},
        {"--percent=", input, "-o", output},
        {input, "-o", output, "--percent"},
        {"--percent", "-1", "--out-dir", outDir, input},
        {"-o", output},
        {"--out-dir", outDir},
        {"--propose"},
        {"--percent", "50"},
        {input, second, "-o", output},
        {input},
        {"--percent", "50", input},
        {input, "-o", output, "--propose"},
        {input, "-o", output, "--out-dir", outDir},
        {"--out-dir", outDir, "--propose", input},
        {"--out-dir", outDir, "-o", output, "--propose", input},
    };
    for (const Args& args : cases) {
        std::string shown;
        for (const std::string& arg : args) {
            shown += "[" + arg + "] ";
        }
        SCOPED_TRACE(shown);
        const RunResult r = RunGain(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(StartsWith(r.err, "sonorette-gain: ")) << r.err;
        EXPECT_TRUE(Contains(r.err, kUsageHead)) << r.err;
        EXPECT_TRUE(Contains(r.err, kUsageSingle)) << r.err;
        EXPECT_TRUE(Contains(r.err, kUsageBatch)) << r.err;
        EXPECT_TRUE(Contains(r.err, kUsagePropose)) << r.err;
        EXPECT_FALSE(FileExists(output));
        EXPECT_TRUE(fs::is_empty(outDir));
    }
    EXPECT_EQ(Names(dir.Path()), Sorted({"in.wav", "second.wav", "outdir"}));

    // The limits themselves are accepted.
    for (const char* percent : {"0", "1000"}) {
        SCOPED_TRACE(percent);
        const RunResult r = RunGain({"--percent", percent, input, "-o", output});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(HoldsGained(output, 1, 8000, {100, -100}, std::atoi(percent)));
    }
}

TEST(GainCli, HelpPrintsTheUsageOnStandardOutput) {
    const RunResult r = RunGain({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(StartsWith(r.out, kUsageHead)) << r.out;
    EXPECT_TRUE(Contains(r.out, kUsageSingle)) << r.out;
    EXPECT_TRUE(Contains(r.out, kUsageBatch)) << r.out;
    EXPECT_TRUE(Contains(r.out, kUsagePropose)) << r.out;
    EXPECT_TRUE(Contains(r.out, "--percent")) << r.out;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');

    // The text is the one a usage error shows.
    const RunResult bad = RunGain({"--bogus"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Contains(bad.err, r.out)) << bad.err;
}

TEST(GainCli, WaveDocumentMessagesGoToStandardErrorOnALineEach) {
    TempDir dir;
    const Samples samples = {1200, -1300, 1400, -1500};

    {
        SCOPED_TRACE("an unknown chunk is reported and the file is still processed");
        const std::string input = dir.File("list.wav");
        const std::string output = dir.File("list-out.wav");
        WriteFile(input, RiffBuilder()
                             .Chunk("fmt ", FormatRecord(1, 1, 8000, 16))
                             .Chunk("LIST", {'I', 'N', 'F', 'O'})
                             .Chunk("data", Samples16(samples))
                             .Build());
        const RunResult r = RunGain({"--percent", "200", input, "-o", output});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, MessageLine(input, kUnknownTag + " [LIST]"));
        EXPECT_EQ(r.out, GainLine(200, input, output));
        EXPECT_TRUE(HoldsGained(output, 1, 8000, samples, 200));
    }
    {
        SCOPED_TRACE("24-bit, 32-bit float and missing inputs");
        const std::string deep = dir.File("deep.wav");
        const std::string floating = dir.File("float.wav");
        const std::string missing = dir.File("missing.wav");
        WriteFile(deep, OtherFormatFile(1, 24));
        WriteFile(floating, OtherFormatFile(3, 32));
        for (const std::string& input : {deep, floating, missing}) {
            SCOPED_TRACE(input);
            const std::string output = dir.File("never.wav");
            const RunResult r = RunGain({input, "-o", output});
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, MessageLine(input, input == missing ? kNotFound : kWrongFormat));
            EXPECT_FALSE(FileExists(output));
        }
    }
    {
        SCOPED_TRACE("the output folder does not exist");
        const std::string input = dir.File("fine.wav");
        WriteFile(input, Pcm16File(1, 8000, samples));
        const std::string output = dir.File("nowhere/out.wav");
        const RunResult r = RunGain({input, "-o", output});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err == MessageLine(input, kCannotOpen) ||
                    r.err == MessageLine(output, kCannotOpen))
            << r.err;
        EXPECT_FALSE(FileExists(dir.File("nowhere")));
    }
    {
        SCOPED_TRACE("several messages for several files, in order, relative names as given");
        WriteFile(dir.File("a.wav"), RiffBuilder()
                                         .Chunk("fmt ", FormatRecord(1, 1, 8000, 8))
                                         .Chunk("junk", Bytes(3, 1), true)
                                         .Chunk("data", {130, 120})
                                         .Build());
        const std::string out = dir.File("batch");
        ASSERT_TRUE(fs::create_directory(out));
        const RunResult r =
            RunGain({"--percent", "100", "--out-dir", "batch", "a.wav", "missing.wav", "deep.wav"},
                    RunOptions{dir.Path()});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, GainLine(100, "a.wav", "batch/a.wav"));
        EXPECT_EQ(r.err, MessageLine("a.wav", kUnknownTag + " [junk]") +
                             MessageLine("a.wav", kBitsChanged) +
                             MessageLine("missing.wav", kNotFound) +
                             MessageLine("deep.wav", kWrongFormat));
        EXPECT_TRUE(HoldsGained(out + "/a.wav", 1, 8000, Widen8({130, 120}), 100));
    }
}

TEST(GainCli, OutputMayBeTheInputFileItself) {
    TempDir dir;
    const std::string input = dir.File("self.wav");
    ASSERT_TRUE(Generate(input, {"--peak", "0.25", "--seconds", "0.1", "--channels", "1"}));
    ASSERT_EQ(::chmod(input.c_str(), 0640), 0);
    CanonicalWave source;
    ASSERT_TRUE(ReadCanonical(input, &source));

    RunResult r = RunGain({input, "-o", input});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(400, input, input));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(HoldsGained(input, 1, 44100, source.Samples16(), 400));
    EXPECT_EQ(Names(dir.Path()), Sorted({"self.wav"}));
    struct stat status {};
    ASSERT_EQ(::stat(input.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    // The same file named another way, and an 8-bit file that becomes 16-bit in place.
    const std::string narrow = dir.File("narrow.wav");
    const Bytes narrowSamples = {128, 160, 96, 200};
    WriteFile(narrow, Pcm8File(1, 8000, narrowSamples));
    r = RunGain({"--percent", "150", "narrow.wav", "-o", "./narrow.wav"}, RunOptions{dir.Path()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, GainLine(150, "narrow.wav", "./narrow.wav"));
    EXPECT_EQ(r.err, MessageLine("narrow.wav", kBitsChanged));
    EXPECT_TRUE(HoldsGained(narrow, 1, 8000, Widen8(narrowSamples), 150));
    EXPECT_EQ(Names(dir.Path()), Sorted({"self.wav", "narrow.wav"}));
}

TEST(GainCli, AFailedWriteKeepsTheOldOutputAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string input = dir.File("in.wav");
    ASSERT_TRUE(Generate(input, {"--peak", "0.25", "--seconds", "0.1"}));
    ASSERT_GT(ReadFile(input).size(), 4096u);
    const Bytes inputBefore = ReadFile(input);

    {
        SCOPED_TRACE("the disk takes only the start of the new file");
        const std::string output = dir.File("old.wav");
        const Bytes oldBytes = Pcm16File(1, 8000, {1, 2, 3});
        WriteFile(output, oldBytes);
        const RunResult r = RunGain({input, "-o", output}, RunOptions{{}, 1024});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, MessageLine(input, kCannotSave));
        EXPECT_EQ(ReadFile(output), oldBytes);
        EXPECT_EQ(Names(dir.Path()), Sorted({"in.wav", "old.wav"}));
    }
    {
        SCOPED_TRACE("no old output");
        const std::string output = dir.File("new.wav");
        const RunResult r = RunGain({input, "-o", output}, RunOptions{{}, 1024});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, MessageLine(input, kCannotSave));
        EXPECT_EQ(Names(dir.Path()), Sorted({"in.wav", "old.wav"}));
    }
    {
        SCOPED_TRACE("the output is the input itself");
        const RunResult r = RunGain({"--percent", "50", input, "-o", input}, RunOptions{{}, 1024});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, MessageLine(input, kCannotSave));
        EXPECT_EQ(ReadFile(input), inputBefore);
        EXPECT_EQ(Names(dir.Path()), Sorted({"in.wav", "old.wav"}));
    }
    {
        SCOPED_TRACE("the output is a folder");
        const std::string folder = dir.File("folder.wav");
        ASSERT_TRUE(fs::create_directory(folder));
        const RunResult r = RunGain({input, "-o", folder});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_TRUE(StartsWith(r.err, "sonorette-gain: ")) << r.err;
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_EQ(Names(dir.Path()), Sorted({"in.wav", "old.wav", "folder.wav"}));
    }
    {
        SCOPED_TRACE("a batch into a folder that does not exist");
        const std::string second = dir.File("second.wav");
        WriteFile(second, Pcm16File(1, 8000, {5, 6}));
        const std::string missingFolder = dir.File("absent");
        const RunResult r = RunGain({"--out-dir", missingFolder, input, second});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        const std::vector<std::string> lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 2u) << r.err;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string& in = i == 0 ? input : second;
            const std::string out = missingFolder + (i == 0 ? "/in.wav" : "/second.wav");
            EXPECT_TRUE(lines[i] + "\n" == MessageLine(in, kCannotOpen) ||
                        lines[i] + "\n" == MessageLine(out, kCannotOpen))
                << lines[i];
        }
        EXPECT_FALSE(FileExists(missingFolder));
    }
    EXPECT_EQ(ReadFile(input), inputBefore);
}

}  // namespace
