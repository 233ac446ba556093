// sonorette-gain: the dialog's Browse, percentage and Save from the command line, for one file or
// a batch. Every message of the wave document goes to standard error, one line each, prefixed
// with the program's name and the file it concerns (see cli/Reporter.h).
#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/AnalysisText.h"
#include "cli/Preview.h"
#include "cli/Reporter.h"
#include "platform/MessageBox.h"
#include "platform/PrintableText.h"
#include "wave/Loudness.h"
#include "wave/StreamingGain.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxPercent = 1000;
// The loudness targets and true-peak ceilings that make sense for 16-bit output.
constexpr double kMinDecibels = -70.0;
constexpr double kMaxDecibels = 0.0;
constexpr double kDefaultTruePeakDb = -1.0;
// Any finite number of decibels down.
constexpr double kLowestDecibels = std::numeric_limits<double>::lowest();

constexpr const char* kUsage =
    "使い方:\n"
    "  sonorette-gain [GAIN] INPUT -o OUTPUT\n"
    "  sonorette-gain [GAIN] --out-dir DIR INPUT...\n"
    "  sonorette-gain --propose INPUT...\n"
    "  sonorette-gain --analyze [--json] INPUT...\n"
    "  sonorette-gain --play [GAIN] INPUT\n"
    "\n"
    "WAV ファイルの音量を変えて、16 ビットの WAV ファイルとして保存します。\n"
    "GAIN は次のどれか一つです。省略するとピークを最大にする値 (整数の %) を使います。\n"
    "  --percent N        音量 (0〜1000 の整数、単位 %)\n"
    "  --gain-db DB       音量をデシベルで指定 (+20 以下の実数。例: -6)\n"
    "  --peak-db DB       ピークを DB dBFS にする (0 以下の実数。例: -1)\n"
    "  --loudness LUFS    ラウドネスを LUFS (-70〜0) にする (-o か --out-dir と)\n"
    "  --true-peak-db DB  --loudness のとき、トゥルーピークを DB dBTP 以下に抑える (既定 -1)\n"
    "  -o OUTPUT          保存先のファイル\n"
    "  --out-dir DIR      各入力を DIR の中に同じファイル名で保存 (入力は上書きしません)\n"
    "  --propose          ピークを最大にする値と入力のパスをタブ区切りで表示 (何も書きません)\n"
    "  --analyze          サンプルピーク、トゥルーピーク、ラウドネス、ラウドネスレンジ、\n"
    "                     ピークを最大にする値、長さを表示 (何も書きません)\n"
    "  --json             --analyze の結果をファイルごとに 1 行の JSON で表示\n"
    "  --play             音量を変えた音を既定の出力デバイスで再生 (Ctrl-C で停止)\n"
    "  --help             この説明を表示\n";

enum class Mode { kNone, kSingle, kBatch, kPropose, kAnalyze, kPlay };

struct Options {
    Mode mode = Mode::kNone;
    std::optional<GainChoice> gain;
    std::optional<double> loudnessLufs;
    std::optional<double> truePeakDb;
    bool json = false;
    std::string output;
    std::string outDir;
    std::vector<std::string> inputs;
};

struct UsageError {
    std::string text;
};

std::optional<int> ParsePercent(std::string_view text) {
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > kMaxPercent) {
        return std::nullopt;
    }
    return value;
}

// A decimal number from least to most, written whole ("-23", "+0.5", "1e-1"), read alike in
// every locale.
std::optional<double> ParseDecibels(std::string_view text, double least, double most) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    double value = 0.0;
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
        !(value >= least && value <= most)) {
        return std::nullopt;
    }
    return value;
}

// Fills options from the arguments; the result holds an error text when they are not usable.
std::optional<UsageError> ParseArguments(int argc, char** argv, Options* options, bool* help) {
    bool optionsEnded = false;
    bool batch = false;
    bool propose = false;
    bool analyze = false;
    bool single = false;
    bool play = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            options->inputs.emplace_back(arg);
            continue;
        }
        // An option's value follows it, or stands after '=' in the same argument.
        std::optional<std::string_view> inlineValue;
        std::string_view name = arg;
        if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != arg.npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto takeValue = [&]() -> std::optional<std::string_view> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 < argc) {
                return std::string_view(argv[++i]);
            }
            return std::nullopt;
        };
        const bool takesNoValue = name == "--" || name == "--help" || name == "--propose" ||
                                  name == "--analyze" || name == "--json" || name == "--play";
        if (takesNoValue && inlineValue) {
            return UsageError{"このオプションには値を付けられません: " +
                              platform::EscapeForDisplay(arg)};
        }
        if (name == "--") {
            optionsEnded = true;
        } else if (name == "--help" || name == "-h") {
            *help = true;
            return std::nullopt;
        } else if (name == "--propose") {
            propose = true;
        } else if (name == "--analyze") {
            analyze = true;
        } else if (name == "--json") {
            options->json = true;
        } else if (name == "--play") {
            play = true;
        } else if (name == "--percent" || name == "--gain-db" || name == "--peak-db") {
            if (options->gain) {
                return UsageError{"--percent、--gain-db、--peak-db は一つだけ指定してください。"};
            }
            const std::optional<std::string_view> value = takeValue();
            GainChoice gain;
            if (name == "--percent") {
                const std::optional<int> percent = value ? ParsePercent(*value) : std::nullopt;
                if (!percent) {
                    return UsageError{"--percent には 0 から 1000 までの整数を指定してください。"};
                }
                gain = {.kind = GainChoice::Kind::kPercent, .percent = *percent};
            } else if (name == "--gain-db") {
                // The percentage box's limit, 1000 %, is +20 dB.
                const std::optional<double> decibels =
                    value ? ParseDecibels(*value, kLowestDecibels, 20.0) : std::nullopt;
                if (!decibels) {
                    return UsageError{"--gain-db には +20 以下の数を指定してください (例: -6)。"};
                }
                gain = {.kind = GainChoice::Kind::kDecibels, .decibels = *decibels};
            } else {
                const std::optional<double> decibels =
                    value ? ParseDecibels(*value, kLowestDecibels, 0.0) : std::nullopt;
                if (!decibels) {
                    return UsageError{"--peak-db には 0 以下の数を指定してください (例: -1)。"};
                }
                gain = {.kind = GainChoice::Kind::kPeakDecibels, .decibels = *decibels};
            }
            options->gain = gain;
        } else if (name == "--loudness") {
            const std::optional<std::string_view> value = takeValue();
            options->loudnessLufs =
                value ? ParseDecibels(*value, kMinDecibels, kMaxDecibels) : std::nullopt;
            if (!options->loudnessLufs) {
                return UsageError{
                    "--loudness には -70 から 0 までの数 (LUFS) を指定してください。"};
            }
        } else if (name == "--true-peak-db") {
            const std::optional<std::string_view> value = takeValue();
            options->truePeakDb =
                value ? ParseDecibels(*value, kMinDecibels, kMaxDecibels) : std::nullopt;
            if (!options->truePeakDb) {
                return UsageError{
                    "--true-peak-db には -70 から 0 までの数 (dBTP) を指定してください。"};
            }
        } else if (name == "-o" || name == "--output") {
            const std::optional<std::string_view> value = takeValue();
            if (!value || value->empty()) {
                return UsageError{"-o には保存先のファイルを指定してください。"};
            }
            options->output = *value;
            single = true;
        } else if (name == "--out-dir") {
            const std::optional<std::string_view> value = takeValue();
            if (!value || value->empty()) {
                return UsageError{"--out-dir には保存先のフォルダーを指定してください。"};
            }
            options->outDir = *value;
            batch = true;
        } else {
            return UsageError{"不明なオプションです: " + platform::EscapeForDisplay(arg)};
        }
    }

    if (options->inputs.empty()) {
        return UsageError{"入力ファイルを指定してください。"};
    }
    if (static_cast<int>(single) + static_cast<int>(batch) + static_cast<int>(propose) +
            static_cast<int>(analyze) + static_cast<int>(play) !=
        1) {
        return UsageError{
            "-o、--out-dir、--propose、--analyze、--play のどれか一つを指定してください。"};
    }
    if ((propose || analyze) && options->gain) {
        return UsageError{
            "--propose や --analyze と --percent、--gain-db、--peak-db は一緒に使えません。"};
    }
    if (options->json && !analyze) {
        return UsageError{"--json は --analyze と一緒に使ってください。"};
    }
    if (options->loudnessLufs && !(single || batch)) {
        return UsageError{"--loudness は -o か --out-dir と一緒に使ってください。"};
    }
    if (options->loudnessLufs && options->gain) {
        return UsageError{"--loudness と --percent、--gain-db、--peak-db は一緒に使えません。"};
    }
    if (options->truePeakDb && !options->loudnessLufs) {
        return UsageError{"--true-peak-db は --loudness と一緒に使ってください。"};
    }
    if ((single || play) && options->inputs.size() != 1) {
        return UsageError{"-o や --play を使うときは入力ファイルを一つだけ指定してください。"};
    }
    options->mode = single    ? Mode::kSingle
                    : batch   ? Mode::kBatch
                    : play    ? Mode::kPlay
                    : analyze ? Mode::kAnalyze
                              : Mode::kPropose;
    return std::nullopt;
}

std::string FileNameOf(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

using FileIdentity = std::pair<dev_t, ino_t>;

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{status.st_dev, status.st_ino};
}

// Prints the result line that lineFor gives for each input, or goes on to the next after its
// messages (lineFor gives nothing then).
template <typename LineFor>
int PrintLines(const Options& options, CReporter& reporter, const LineFor& lineFor) {
    int status = kExitOk;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const std::string& input = options.inputs[i];
        reporter.BeginFile(i, input);
        if (const std::optional<std::string> line = lineFor(input)) {
            reporter.Result(*line);
        } else {
            status = kExitFailed;
        }
    }
    return status;
}

int RunPropose(const Options& options, CReporter& reporter) {
    return PrintLines(options, reporter, [](const std::string& input) {
        const std::optional<int> percent = ProposeFilePercent(input.c_str());
        return percent ? std::optional<std::string>(std::to_string(*percent) + "\t" +
                                                    platform::EscapeForDisplay(input))
                       : std::nullopt;
    });
}

int RunAnalyze(const Options& options, CReporter& reporter) {
    return PrintLines(options, reporter, [&options](const std::string& input) {
        const std::optional<LoudnessMeasure> measure = MeasureFileLoudness(input.c_str());
        if (!measure) {
            return std::optional<std::string>();
        }
        return std::optional<std::string>(options.json ? AnalysisJson(input, *measure)
                                                       : AnalysisLine(input, *measure));
    });
}

std::string Format(const char* format, double a, double b = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// Writes input to output at the gain that brings it to the target loudness; the gain in dB as it
// is shown in the result line, or nothing after a message.
std::optional<GainOutcome> GainToLoudness(const std::string& input, const std::string& output,
                                          const Options& options, CReporter& reporter) {
    const std::optional<LoudnessMeasure> measure = MeasureFileLoudness(input.c_str());
    if (!measure) {
        return std::nullopt;
    }
    const double ceilingDb = options.truePeakDb.value_or(kDefaultTruePeakDb);
    const std::optional<LoudnessGain> gain =
        GainForLoudness(*measure, *options.loudnessLufs, ceilingDb);
    if (!gain) {
        reporter.Message("無音か、音が短すぎる (400 ms 未満) ため、ラウドネスを合わせられません。");
        return std::nullopt;
    }
    if (gain->limitedByTruePeak) {
        reporter.Message(
            Format("トゥルーピークを %.1f dBTP 以下に保つため、ゲインを %+.2f dB に抑えました",
                   ceilingDb, gain->decibels) +
            Format(" (ラウドネスは %.2f LUFS になります)。",
                   measure->integratedLufs + gain->decibels));
    }
    return GainFile(input.c_str(), output.c_str(),
                    {.kind = GainChoice::Kind::kDecibels, .decibels = gain->decibels});
}

int RunGain(const Options& options, CReporter& reporter) {
    // A batch never writes over one of its inputs, nor twice to the same output. Outputs are
    // compared as files, so that two names of one file (a link, say) are one output.
    std::set<FileIdentity> inputIdentities;
    if (options.mode == Mode::kBatch) {
        for (const std::string& input : options.inputs) {
            if (const std::optional<FileIdentity> identity = IdentityOf(input)) {
                inputIdentities.insert(*identity);
            }
        }
    }
    std::set<FileIdentity> outputsWritten;

    int status = kExitOk;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const std::string& input = options.inputs[i];
        reporter.BeginFile(i, input);
        std::string output = options.output;
        if (options.mode == Mode::kBatch) {
            output = options.outDir + "/" + FileNameOf(input);
            const std::optional<FileIdentity> outputIdentity = IdentityOf(output);
            if (outputIdentity && inputIdentities.count(*outputIdentity) != 0) {
                reporter.Message("入力ファイルを上書きするため、保存しませんでした: " +
                                 platform::EscapeForDisplay(output));
                status = kExitFailed;
                continue;
            }
            if (outputIdentity && outputsWritten.count(*outputIdentity) != 0) {
                reporter.Message("先に保存した出力と同じファイルのため、保存しませんでした: " +
                                 platform::EscapeForDisplay(output));
                status = kExitFailed;
                continue;
            }
        }
        // The dialog's Browse and Save, done on the file in pieces; or the gain of a loudness.
        const std::optional<GainOutcome> outcome =
            options.loudnessLufs
                ? GainToLoudness(input, output, options, reporter)
                : GainFile(input.c_str(), output.c_str(), options.gain.value_or(GainChoice()));
        if (!outcome) {
            status = kExitFailed;
            continue;
        }
        if (outcome->clippedSamples > 0) {
            reporter.Message(ClipNotice(outcome->clippedSamples));
        }
        // Known only now for an output that did not exist, or was a link to nowhere, before.
        if (const std::optional<FileIdentity> written = IdentityOf(output)) {
            outputsWritten.insert(*written);
        }
        reporter.Result(GainText(*outcome) + "\t" + platform::EscapeForDisplay(input) + " -> " +
                        platform::EscapeForDisplay(output));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    Options options;
    bool help = false;
    if (const std::optional<UsageError> error = ParseArguments(argc, argv, &options, &help)) {
        std::fprintf(stderr, "sonorette-gain: %s\n\n%s", error->text.c_str(), kUsage);
        return kExitUsage;
    }
    CReporter reporter(options.inputs.size());
    if (help) {
        std::fputs(kUsage, stdout);
        return reporter.FinishOutput() ? kExitOk : kExitFailed;
    }

    platform::SetMessageHandler(
        [&reporter](std::string_view text, const platform::MessageSubject& subject) {
            reporter.Message(text, subject);
        });
    int status = kExitOk;
    switch (options.mode) {
        case Mode::kPropose:
            status = RunPropose(options, reporter);
            break;
        case Mode::kAnalyze:
            status = RunAnalyze(options, reporter);
            break;
        case Mode::kPlay:
            reporter.BeginFile(0, options.inputs.front());
            status = RunPlay(options.inputs.front(), options.gain.value_or(GainChoice()))
                         ? kExitOk
                         : kExitFailed;
            break;
        case Mode::kSingle:
        case Mode::kBatch:
        case Mode::kNone:
            status = RunGain(options, reporter);
            break;
    }
    reporter.EraseProgress();
    platform::SetMessageHandler({});
    if (!reporter.FinishOutput()) {
        status = kExitFailed;
    }
    return status;
}
