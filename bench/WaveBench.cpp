// wave_bench: the throughput of the wave document's reader, writer and sample transforms on about
// 300 MB of samples, each measured against memcpy of the same bytes in the same iterations.
//
// Every iteration times the operation and then a memcpy of the bytes it processes, and each row
// reports:
//   x_memcpy  the operation's time over that memcpy's, between two blocks touched beforehand;
//   x_fresh   (only for the operations that allocate the block they fill: reading, writing and the
//             widening transforms) the time over a memcpy into a block of the operation's output
//             size that is allocated inside the timed region, its page faults included. The
//             operation cannot avoid those faults, so this is its fair floor; x_memcpy is the
//             floor it would have with a reusable block.
// A table of these ratios is printed at the end, then the "Phases" results: sonorette-gain's work
// on one file split into its steps, and what the system itself needs for each kind of step.
//
// Run: build-bench/bench/wave_bench. About a minute on two cores; holds about 3 GB of memory and
// writes files of 300 MB in a folder under $TMPDIR (or /tmp) that it removes at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MessageBox.h"
#include "wave/WaveData.h"

namespace {

using Clock = std::chrono::steady_clock;

// About 300 MB of samples, whole frames in every layout measured.
constexpr std::uint32_t kSampleBytes = 300'000'000;
constexpr std::uint32_t kFileBytes = kSampleBytes + 44;
// The buffer that cp uses for a plain read/write copy.
constexpr std::size_t kCopyChunkBytes = 128 * 1024;
constexpr double kGainFactor = 1.5;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t PageBytes() {
    static const auto bytes = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return bytes;
}

// --- Test data ------------------------------------------------------------------------------

// A quarter-scale 440 Hz tone at 44.1 kHz, like sonorette-wavegen's: one second repeated.
std::unique_ptr<CWaveData> MakeTone(std::uint16_t channels, std::uint16_t bits) {
    constexpr std::uint32_t kRate = 44100;
    const auto frameBytes = static_cast<std::uint16_t>(channels * bits / 8);
    auto wave = std::make_unique<CWaveData>();
    wave->m_formatTag = 1;
    wave->m_channels = channels;
    wave->m_samplesPerSec = kRate;
    wave->m_avgBytesPerSec = kRate * frameBytes;
    wave->m_blockAlign = frameBytes;
    wave->m_bitsPerSample = bits;
    wave->m_pSamples = std::make_unique_for_overwrite<std::uint8_t[]>(kSampleBytes);
    wave->m_sampleBytes = kSampleBytes;

    std::vector<std::int16_t> second(kRate);
    for (std::uint32_t i = 0; i < kRate; ++i) {
        const double phase = 2.0 * std::numbers::pi * 440.0 * i / kRate;
        second[i] = static_cast<std::int16_t>(std::lround(std::sin(phase) * 32767.0 * 0.25));
    }
    std::uint8_t* out = wave->m_pSamples.get();
    if (bits == 16) {
        for (std::size_t i = 0; i < kSampleBytes / 2; ++i) {
            std::memcpy(out + 2 * i, &second[i % kRate], 2);
        }
    } else {
        for (std::size_t i = 0; i < kSampleBytes; ++i) {
            out[i] = static_cast<std::uint8_t>(128 + second[i % kRate] / 256);
        }
    }
    return wave;
}

CWaveData& Stereo16() {
    static const std::unique_ptr<CWaveData> wave = MakeTone(2, 16);
    return *wave;
}

const CWaveData& Mono16() {
    static const std::unique_ptr<CWaveData> wave = MakeTone(1, 16);
    return *wave;
}

const CWaveData& Stereo8() {
    static const std::unique_ptr<CWaveData> wave = MakeTone(2, 8);
    return *wave;
}

// Two blocks of kFileBytes for the memcpy baselines, both touched so that no page faults remain.
struct MemcpyBlocks {
    std::unique_ptr<std::uint8_t[]> source;
    std::unique_ptr<std::uint8_t[]> target;
};

MemcpyBlocks& Blocks() {
    static MemcpyBlocks blocks = [] {
        MemcpyBlocks made{std::make_unique<std::uint8_t[]>(kFileBytes),
                          std::make_unique<std::uint8_t[]>(kFileBytes)};
        std::memset(made.source.get(), 0x5A, kFileBytes);
        std::memset(made.target.get(), 0xA5, kFileBytes);
        return made;
    }();
    return blocks;
}

// --- Files ----------------------------------------------------------------------------------

const std::string& TempFolder() {
    static const std::string folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/sonorette-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("wave_bench: mkdtemp");
            std::exit(1);
        }
        return pattern;
    }();
    return folder;
}

std::string OutputPath() {
    return TempFolder() + "/out.wav";
}

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to count bytes; the number read.
std::size_t ReadAll(int fd, std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// A 16-bit stereo tone file of kFileBytes, written once and flushed to disk so that no writeback
// runs during the measurements; its pages stay in the page cache.
const std::string& InputFile() {
    static const std::string path = [] {
        std::string made = TempFolder() + "/in.wav";
        if (!MakeTone(2, 16)->Write(made.c_str())) {
            std::fputs("wave_bench: cannot write the input file\n", stderr);
            std::exit(1);
        }
        const int fd = ::open(made.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            static_cast<void>(::fdatasync(fd));
            ::close(fd);
        }
        return made;
    }();
    return path;
}

void RemoveTempFolder() {
    for (const char* name : {"/in.wav", "/out.wav"}) {
        ::unlink((TempFolder() + name).c_str());
    }
    ::rmdir(TempFolder().c_str());
}

// --- The memcpy comparison ------------------------------------------------------------------

double TimeMemcpy(std::size_t bytes) {
    MemcpyBlocks& blocks = Blocks();
    const auto start = Clock::now();
    std::memcpy(blocks.target.get(), blocks.source.get(), bytes);
    benchmark::DoNotOptimize(blocks.target.get());
    benchmark::ClobberMemory();
    return SecondsSince(start);
}

// Allocates freshBytes and fills them with copies of the first bytes of the source block; the
// release of the block is not timed.
double TimeFreshMemcpy(std::size_t bytes, std::size_t freshBytes) {
    const std::uint8_t* source = Blocks().source.get();
    const auto start = Clock::now();
    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(freshBytes);
    for (std::size_t done = 0; done < freshBytes; done += bytes) {
        std::memcpy(block.get() + done, source, std::min(bytes, freshBytes - done));
    }
    benchmark::DoNotOptimize(block.get());
    benchmark::ClobberMemory();
    return SecondsSince(start);
}

// The operation's and the memcpys' times of one benchmark, gathered iteration by iteration.
class MemcpyComparison {
  public:
    // bytes: what the operation processes per iteration; freshBytes: the size of the block it
    // allocates and fills, 0 for an operation that works in place.
    MemcpyComparison(std::size_t bytes, std::size_t freshBytes)
        : m_bytes(bytes), m_freshBytes(freshBytes) {}

    // Takes one iteration's operation time and times the memcpys that go with it.
    void Add(benchmark::State& state, double operationSeconds) {
        state.SetIterationTime(operationSeconds);
        m_operation += operationSeconds;
        m_memcpy += TimeMemcpy(m_bytes);
        if (m_freshBytes > 0) {
            m_fresh += TimeFreshMemcpy(m_bytes, m_freshBytes);
        }
    }

    void Report(benchmark::State& state) const {
        if (m_memcpy <= 0.0) {
            return;
        }
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(m_bytes));
        const auto iterations = static_cast<double>(state.iterations());
        state.counters["memcpy_ms"] = m_memcpy / iterations * 1e3;
        state.counters["x_memcpy"] = m_operation / m_memcpy;
        if (m_freshBytes > 0) {
            state.counters["fresh_ms"] = m_fresh / iterations * 1e3;
            state.counters["x_fresh"] = m_operation / m_fresh;
        }
    }

  private:
    std::size_t m_bytes;
    std::size_t m_freshBytes;
    double m_operation = 0.0;
    double m_memcpy = 0.0;
    double m_fresh = 0.0;
};

// --- The operations -------------------------------------------------------------------------

void Read(benchmark::State& state) {
    const std::string& path = InputFile();
    MemcpyComparison compare(kFileBytes, kFileBytes);
    for (auto _ : state) {
        const auto start = Clock::now();
        auto wave = std::make_unique<CWaveData>(path.c_str());
        const double seconds = SecondsSince(start);
        if (wave->m_sampleBytes != kSampleBytes) {
            state.SkipWithError("the input file was not read");
            break;
        }
        wave.reset();
        compare.Add(state, seconds);
    }
    compare.Report(state);
}

void GetPeak(benchmark::State& state) {
    const CWaveData& wave = Stereo16();
    MemcpyComparison compare(wave.m_sampleBytes, 0);
    for (auto _ : state) {
        const auto start = Clock::now();
        double peak = wave.GetPeak();
        benchmark::DoNotOptimize(peak);
        compare.Add(state, SecondsSince(start));
    }
    compare.Report(state);
}

void ApplyGain(benchmark::State& state) {
    CWaveData& wave = Stereo16();
    MemcpyComparison compare(wave.m_sampleBytes, 0);
    for (auto _ : state) {
        const auto start = Clock::now();
        wave.ApplyGain(kGainFactor);
        benchmark::ClobberMemory();
        compare.Add(state, SecondsSince(start));
    }
    compare.Report(state);
}

// Times transform on a fresh copy of source in every iteration (the copy is not timed); the
// throughput is counted in input bytes.
template <typename Transform>
void WideningTransform(benchmark::State& state, const CWaveData& source, Transform transform) {
    MemcpyComparison compare(source.m_sampleBytes, 2 * std::size_t{source.m_sampleBytes});
    for (auto _ : state) {
        auto wave = std::make_unique<CWaveData>(source);
        const auto start = Clock::now();
        transform(*wave);
        benchmark::ClobberMemory();
        const double seconds = SecondsSince(start);
        if (wave->m_sampleBytes != 2 * source.m_sampleBytes) {
            state.SkipWithError("the transform did not double the block");
            break;
        }
        wave.reset();
        compare.Add(state, seconds);
    }
    compare.Report(state);
}

void Convert8To16(benchmark::State& state) {
    WideningTransform(state, Stereo8(), [](CWaveData& wave) { wave.Convert8To16(); });
}

void MonoToStereo(benchmark::State& state) {
    WideningTransform(state, Mono16(), [](CWaveData& wave) { wave.MonoToStereo(); });
}

void Write(benchmark::State& state) {
    const CWaveData& wave = Stereo16();
    const std::string path = OutputPath();
    MemcpyComparison compare(kFileBytes, kFileBytes);
    for (auto _ : state) {
        // A new file every time, as for sonorette-gain with a new output: no fsync.
        const auto start = Clock::now();
        const bool written = wave.Write(path.c_str());
        const double seconds = SecondsSince(start);
        ::unlink(path.c_str());
        if (!written) {
            state.SkipWithError("the output file was not written");
            break;
        }
        compare.Add(state, seconds);
    }
    compare.Report(state);
}

// --- Phases ---------------------------------------------------------------------------------

void AddMilliseconds(benchmark::State& state, const char* name, double seconds) {
    state.counters[name] = benchmark::Counter(seconds * 1e3, benchmark::Counter::kAvgIterations);
}

// sonorette-gain's work on one file without --percent, step by step, as its GainFile does it.
void GainFile(benchmark::State& state) {
    const std::string& input = InputFile();
    const std::string output = OutputPath();
    MemcpyComparison compare(kFileBytes, 0);
    double read = 0.0;
    double peak = 0.0;
    double gain = 0.0;
    double write = 0.0;
    double release = 0.0;
    for (auto _ : state) {
        auto start = Clock::now();
        auto wave = std::make_unique<CWaveData>(input.c_str());
        const double readSeconds = SecondsSince(start);

        start = Clock::now();
        const int percent = ProposePercent(wave->GetPeak());
        const double peakSeconds = SecondsSince(start);

        start = Clock::now();
        wave->ApplyGain(percent * 0.01);
        benchmark::ClobberMemory();
        const double gainSeconds = SecondsSince(start);

        start = Clock::now();
        const bool written = wave->Write(output.c_str());
        const double writeSeconds = SecondsSince(start);

        start = Clock::now();
        wave.reset();
        const double releaseSeconds = SecondsSince(start);

        ::unlink(output.c_str());
        if (!written || percent <= 0) {
            state.SkipWithError("the file was not scaled and written");
            break;
        }
        read += readSeconds;
        peak += peakSeconds;
        gain += gainSeconds;
        write += writeSeconds;
        release += releaseSeconds;
        compare.Add(state, readSeconds + peakSeconds + gainSeconds + writeSeconds + releaseSeconds);
    }
    compare.Report(state);
    AddMilliseconds(state, "read_ms", read);
    AddMilliseconds(state, "peak_ms", peak);
    AddMilliseconds(state, "gain_ms", gain);
    AddMilliseconds(state, "write_ms", write);
    AddMilliseconds(state, "release_ms", release);
}

// Asks for transparent huge pages on the whole pages of a block.
void AdviseHugePages(std::uint8_t* block, std::size_t bytes) {
    const std::uintptr_t mask = PageBytes() - 1;
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(block) + mask) & ~mask;
    const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~mask;
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}

// Allocates kFileBytes and writes one byte of each page: the cost of the page faults (with the
// kernel's zeroing) that a fresh block of that size brings.
double TimeFaultIn(bool hugePages, double* releaseSeconds) {
    auto start = Clock::now();
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(kFileBytes);
    if (hugePages) {
        AdviseHugePages(block.get(), kFileBytes);
    }
    for (std::size_t i = 0; i < kFileBytes; i += PageBytes()) {
        block[i] = 1;
    }
    benchmark::DoNotOptimize(block.get());
    benchmark::ClobberMemory();
    const double seconds = SecondsSince(start);
    start = Clock::now();
    block.reset();
    *releaseSeconds = SecondsSince(start);
    return seconds;
}

// One read() of the whole input file, into target or (when null) into a fresh block.
double TimeReadFile(std::uint8_t* target) {
    const auto start = Clock::now();
    std::unique_ptr<std::uint8_t[]> fresh;
    if (target == nullptr) {
        fresh = std::make_unique_for_overwrite<std::uint8_t[]>(kFileBytes);
        target = fresh.get();
    }
    const int fd = ::open(InputFile().c_str(), O_RDONLY | O_CLOEXEC);
    const std::size_t got = fd < 0 ? 0 : ReadAll(fd, target, kFileBytes);
    if (fd >= 0) {
        ::close(fd);
    }
    benchmark::DoNotOptimize(target);
    const double seconds = SecondsSince(start);
    return got == kFileBytes ? seconds : -1.0;
}

int CreateOutput(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// One write() of kFileBytes from a touched block into a new file.
double TimeWriteNewFile() {
    const std::string path = OutputPath();
    const auto start = Clock::now();
    const int fd = CreateOutput(path);
    bool ok = fd >= 0 && WriteAll(fd, Blocks().source.get(), kFileBytes);
    ok = fd >= 0 && ::close(fd) == 0 && ok;
    const double seconds = SecondsSince(start);
    ::unlink(path.c_str());
    return ok ? seconds : -1.0;
}

// The input file copied to a new file through a 128 KiB buffer, as cp --reflink=never does.
double TimeChunkedCopy() {
    const std::string path = OutputPath();
    std::vector<std::uint8_t> buffer(kCopyChunkBytes);
    const auto start = Clock::now();
    const int in = ::open(InputFile().c_str(), O_RDONLY | O_CLOEXEC);
    const int out = CreateOutput(path);
    bool ok = in >= 0 && out >= 0;
    std::size_t copied = 0;
    while (ok) {
        const std::size_t got = ReadAll(in, buffer.data(), buffer.size());
        ok = WriteAll(out, buffer.data(), got);
        copied += got;
        if (got < buffer.size()) {
            break;
        }
    }
    ok = in >= 0 && ::close(in) == 0 && ok;
    ok = out >= 0 && ::close(out) == 0 && ok;
    const double seconds = SecondsSince(start);
    ::unlink(path.c_str());
    return ok && copied == kFileBytes ? seconds : -1.0;
}

// What the system needs for each kind of step, on kFileBytes.
void Floors(benchmark::State& state) {
    double fault = 0.0;
    double faultHuge = 0.0;
    double release = 0.0;
    double readFresh = 0.0;
    double readTouched = 0.0;
    double writeNew = 0.0;
    double copy = 0.0;
    double memcpy = 0.0;
    for (auto _ : state) {
        double releaseSeconds = 0.0;
        double hugeReleaseSeconds = 0.0;
        fault += TimeFaultIn(false, &releaseSeconds);
        release += releaseSeconds;
        faultHuge += TimeFaultIn(true, &hugeReleaseSeconds);
        const double steps[] = {TimeReadFile(nullptr), TimeReadFile(Blocks().target.get()),
                                TimeWriteNewFile(), TimeChunkedCopy()};
        if (std::any_of(std::begin(steps), std::end(steps), [](double s) { return s < 0.0; })) {
            state.SkipWithError("a file step failed");
            break;
        }
        readFresh += steps[0];
        readTouched += steps[1];
        writeNew += steps[2];
        copy += steps[3];
        memcpy += TimeMemcpy(kFileBytes);
    }
    AddMilliseconds(state, "fault_ms", fault);
    AddMilliseconds(state, "fault_huge_ms", faultHuge);
    AddMilliseconds(state, "release_ms", release);
    AddMilliseconds(state, "read_fresh_ms", readFresh);
    AddMilliseconds(state, "read_touched_ms", readTouched);
    AddMilliseconds(state, "write_new_ms", writeNew);
    AddMilliseconds(state, "copy_128k_ms", copy);
    AddMilliseconds(state, "memcpy_ms", memcpy);
}

// --- Reporting ------------------------------------------------------------------------------

// The console output, followed by a table of the ratios to memcpy and the phases one per line.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Counters in columns; colours only on a terminal.
    RatioReporter()
        : ConsoleReporter(::isatty(STDOUT_FILENO) == 1 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            Result result;
            result.name = run.run_name.function_name;
            result.seconds =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [key, counter] : run.counters) {
                result.counters[key] = counter.value;
            }
            m_results.push_back(result);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        PrintRatios();
        PrintPhases();
    }

  private:
    struct Result {
        std::string name;
        double seconds = 0.0;
        std::map<std::string, double> counters;

        double Get(const std::string& key) const {
            const auto found = counters.find(key);
            return found == counters.end() ? -1.0 : found->second;
        }
    };

    __attribute__((format(printf, 2, 3))) void Line(const char* format, ...) {
        char text[256];
        std::va_list values;
        va_start(values, format);
        std::vsnprintf(text, sizeof text, format, values);
        va_end(values);
        GetOutputStream() << text << '\n';
    }

    void PrintRatios() {
        Line("\nTime relative to memcpy of the same bytes, timed in the same iterations:");
        Line("  x_memcpy  memcpy between two blocks touched beforehand");
        Line("  x_fresh   memcpy into a block of the output's size allocated in the timed region");
        Line("            (for the operations that allocate the block they fill)");
        Line("%-14s %9s %9s %7s %10s %9s %9s %8s", "operation", "MB/iter", "ms/iter", "GB/s",
             "memcpy ms", "x_memcpy", "fresh ms", "x_fresh");
        for (const Result& result : m_results) {
            const double ratio = result.Get("x_memcpy");
            if (ratio < 0.0 || result.name.starts_with("Phases")) {
                continue;
            }
            const double rate = result.Get("bytes_per_second");
            const double fresh = result.Get("x_fresh");
            char freshText[32] = "-";
            char freshMsText[32] = "-";
            if (fresh >= 0.0) {
                std::snprintf(freshText, sizeof freshText, "%.2f", fresh);
                std::snprintf(freshMsText, sizeof freshMsText, "%.1f", result.Get("fresh_ms"));
            }
            Line("%-14s %9.1f %9.1f %7.2f %10.1f %9.2f %9s %8s", result.name.c_str(),
                 rate * result.seconds / 1e6, result.seconds * 1e3, rate / 1e9,
                 result.Get("memcpy_ms"), ratio, freshMsText, freshText);
        }
    }

    void PrintPhases() {
        struct Step {
            const char* key;
            const char* what;
        };
        static constexpr Step kGainSteps[] = {
            {"read_ms", "CWaveData(path): open, read the file, parse, copy out the samples"},
            {"peak_ms", "GetPeak"},
            {"gain_ms", "ApplyGain(percent * 0.01)"},
            {"write_ms", "Write: build the file image, write a new file, rename"},
            {"release_ms", "release of the sample block"},
        };
        static constexpr Step kFloors[] = {
            {"memcpy_ms", "memcpy between touched blocks"},
            {"fault_ms", "first touch of a fresh block (page faults and zeroing)"},
            {"fault_huge_ms", "the same with madvise(MADV_HUGEPAGE)"},
            {"release_ms", "release of a touched block (munmap)"},
            {"read_fresh_ms", "read() of the file into a fresh block"},
            {"read_touched_ms", "read() of the file into a touched block"},
            {"write_new_ms", "write() of a touched block into a new file"},
            {"copy_128k_ms", "read()/write() copy through 128 KiB, as cp --reflink=never"},
        };
        for (const Result& result : m_results) {
            const bool gain = result.name == "Phases/GainFile";
            if (!gain && result.name != "Phases/Floors") {
                continue;
            }
            if (gain) {
                Line("\nsonorette-gain on one %.0f MB file (no --percent), ms per file:",
                     kFileBytes / 1e6);
            } else {
                Line("\nWhat the system needs for %.0f MB, ms:", kFileBytes / 1e6);
            }
            for (const Step& step :
                 gain ? std::span<const Step>(kGainSteps) : std::span<const Step>(kFloors)) {
                Line("  %-16s %8.1f  %s", step.key, result.Get(step.key), step.what);
            }
            if (gain) {
                Line("  %-16s %8.1f  (%.2f x memcpy of the file)", "total", result.seconds * 1e3,
                     result.Get("x_memcpy"));
            }
        }
    }

    std::vector<Result> m_results;
};

}  // namespace

int main(int argc, char** argv) {
    // ApplyGain and the reader tell the user things; a benchmark has no user to tell.
    platform::SetMessageHandler([](std::string_view, const platform::MessageSubject&) {});

    struct Entry {
        const char* name;
        void (*function)(benchmark::State&);
        benchmark::IterationCount iterations;
        bool manualTime;
    };
    static constexpr Entry kEntries[] = {
        {"Read", Read, 8, true},
        {"GetPeak", GetPeak, 15, true},
        {"ApplyGain", ApplyGain, 12, true},
        {"Convert8To16", Convert8To16, 6, true},
        {"MonoToStereo", MonoToStereo, 6, true},
        {"Write", Write, 8, true},
        {"Phases/GainFile", GainFile, 5, true},
        {"Phases/Floors", Floors, 3, false},
    };
    for (const Entry& entry : kEntries) {
        benchmark::internal::Benchmark* registered =
            benchmark::RegisterBenchmark(entry.name, entry.function)
                ->Iterations(entry.iterations)
                ->Unit(benchmark::kMillisecond);
        if (entry.manualTime) {
            registered->UseManualTime();
        } else {
            registered->UseRealTime();
        }
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    RemoveTempFolder();
    return 0;
}
