// wave_bench: the sample kernels and the wave document's operations against memcpy of the same
// bytes, on Google Benchmark.
//
// Every benchmark but Memcpy times its operation and, in the same iterations, a memcpy of the
// same number of bytes between two blocks touched beforehand (for a conversion, of the bytes it
// writes). Its counter x_memcpy is the operation's time over the memcpy's, so that whatever else
// the machine does falls on both alike; each benchmark runs five times and the console shows the
// median, mean, standard deviation and coefficient of variation of its time and of x_memcpy.
//
// The kernels run on 1 MiB, a piece of the file gain that stays in the cache, and on 256 MiB,
// a whole sample block in memory that the peak and the gain split between two threads. The
// operations of the image and of the file gain run on a 300 MB 16-bit stereo block or file.
//
// Run: build-bench/bench/wave_bench (about two minutes; holds about 2.5 GB of memory and writes
// files of 300 MB in a folder under $TMPDIR or /tmp that it removes at the end). Google
// Benchmark's options apply, e.g. --benchmark_filter=Kernel/Scale16; the peak and the gain use
// a second core on 256 MiB, so other work on the machine shows in their figures.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <span>
#include <string>

#include "platform/MessageBox.h"
#include "wave/SampleKernels.h"
#include "wave/StreamingGain.h"
#include "wave/WaveData.h"

namespace {

namespace sk = samplekernels;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeBytes = std::size_t{256} << 20;
constexpr std::uint32_t kFileSampleBytes = 300'000'000;
constexpr double kFactor = 1.37;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A block of bytes, touched so that no page faults remain, filled with a quarter-scale 440 Hz
// tone at 44.1 kHz as 16-bit samples (or as 8-bit samples when eightBit): one second repeated.
std::unique_ptr<std::uint8_t[]> ToneBlock(std::size_t bytes, bool eightBit) {
    constexpr std::size_t kRate = 44100;
    static const auto second = [] {
        std::array<double, kRate> made{};
        for (std::size_t i = 0; i < kRate; ++i) {
            made[i] = 0.25 * std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(i) /
                                      static_cast<double>(kRate));
        }
        return made;
    }();
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    for (std::size_t i = 0; i < (eightBit ? bytes : bytes / 2); ++i) {
        const double s = second[i % kRate];
        if (eightBit) {
            block[i] = static_cast<std::uint8_t>(128 + std::lround(s * 127.0));
        } else {
            const auto sample = static_cast<std::int16_t>(std::lround(s * 32767.0));
            std::memcpy(block.get() + 2 * i, &sample, 2);
        }
    }
    return block;
}

// Blocks kept for the whole run, by size and use.
std::uint8_t* Block(const char* use, std::size_t bytes, bool eightBit = false) {
    static std::map<std::pair<std::string, std::size_t>, std::unique_ptr<std::uint8_t[]>> blocks;
    auto& block = blocks[{use, bytes}];
    if (!block) {
        block = ToneBlock(bytes, eightBit);
    }
    return block.get();
}

double TimeMemcpy(std::size_t bytes) {
    std::uint8_t* from = Block("memcpy source", bytes);
    std::uint8_t* to = Block("memcpy target", bytes);
    const auto start = Clock::now();
    std::memcpy(to, from, bytes);
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
    return SecondsSince(start);
}

// Runs the benchmark's iterations: each times operation() and then a memcpy of memcpyBytes.
// bytes is what the operation processes per iteration, for the throughput.
template <typename Operation>
void AgainstMemcpy(benchmark::State& state, std::size_t bytes, std::size_t memcpyBytes,
                   const Operation& operation) {
    double operationSeconds = 0.0;
    double memcpySeconds = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!operation()) {
            state.SkipWithError("the operation failed");
            return;
        }
        benchmark::ClobberMemory();
        const double seconds = SecondsSince(start);
        state.SetIterationTime(seconds);
        operationSeconds += seconds;
        memcpySeconds += TimeMemcpy(memcpyBytes);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
    state.counters["x_memcpy"] = operationSeconds / memcpySeconds;
}

// --- Kernels ----------------------------------------------------------------------------------

std::size_t Bytes(const benchmark::State& state) {
    return static_cast<std::size_t>(state.range(0));
}

void Memcpy(benchmark::State& state) {
    for (auto _ : state) {
        state.SetIterationTime(TimeMemcpy(Bytes(state)));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Peak16(benchmark::State& state) {
    const std::span<const std::uint8_t> samples(Block("samples", Bytes(state)), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(sk::PeakMagnitude(samples, 16));
        return true;
    });
}

void Peak8(benchmark::State& state) {
    const std::span<const std::uint8_t> samples(Block("8-bit", Bytes(state), true), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(sk::PeakMagnitude(samples, 8));
        return true;
    });
}

// In place, as ApplyGain does.
void Scale16(benchmark::State& state) {
    const std::span<std::uint8_t> samples(Block("samples", Bytes(state)), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        sk::ScaleSamples16(samples, kFactor);
        return true;
    });
}

// From one block into another, as the file gain does.
void Scale16Copy(benchmark::State& state) {
    const std::span<const std::uint8_t> samples(Block("samples", Bytes(state)), Bytes(state));
    const std::span<std::uint8_t> scaled(Block("target", Bytes(state)), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        sk::ScaleSamples16(samples, scaled, kFactor);
        return true;
    });
}

void Widen8To16(benchmark::State& state) {
    const std::span<const std::uint8_t> narrow(Block("8-bit", Bytes(state), true), Bytes(state));
    const std::span<std::uint8_t> wide(Block("target", 2 * Bytes(state)), 2 * Bytes(state));
    AgainstMemcpy(state, Bytes(state), 2 * Bytes(state), [&] {
        sk::Widen8To16(narrow, wide);
        return true;
    });
}

void Narrow16To8(benchmark::State& state) {
    const std::span<const std::uint8_t> wide(Block("samples", Bytes(state)), Bytes(state));
    const std::span<std::uint8_t> narrow(Block("target", Bytes(state) / 2), Bytes(state) / 2);
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        sk::Narrow16To8(wide, narrow);
        return true;
    });
}

void MonoToStereo16(benchmark::State& state) {
    const std::span<const std::uint8_t> mono(Block("samples", Bytes(state)), Bytes(state));
    const std::span<std::uint8_t> stereo(Block("target", 2 * Bytes(state)), 2 * Bytes(state));
    AgainstMemcpy(state, Bytes(state), 2 * Bytes(state), [&] {
        sk::MonoToStereo16(mono, stereo);
        return true;
    });
}

// --- The image and the file gain ----------------------------------------------------------------

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

CWaveData& Image() {
    static CWaveData image = [] {
        CWaveData made;
        made.m_formatTag = 1;
        made.m_channels = 2;
        made.m_samplesPerSec = 44100;
        made.m_avgBytesPerSec = 176400;
        made.m_blockAlign = 4;
        made.m_bitsPerSample = 16;
        made.m_pSamples = ToneBlock(kFileSampleBytes, false);
        made.m_sampleBytes = kFileSampleBytes;
        return made;
    }();
    return image;
}

// The image as a file, written once and flushed so that no writeback runs during the timings.
const std::string& InputFile() {
    static const std::string path = [] {
        std::string made = TempFolder() + "/in.wav";
        if (!Image().Write(made.c_str())) {
            std::exit(1);
        }
        ::sync();
        return made;
    }();
    return path;
}

void Read(benchmark::State& state) {
    InputFile();  // made before the timings
    AgainstMemcpy(state, kFileSampleBytes, kFileSampleBytes,
                  [] { return CWaveData(InputFile().c_str()).m_sampleBytes == kFileSampleBytes; });
}

void GetPeak(benchmark::State& state) {
    Image();  // made before the timings
    AgainstMemcpy(state, kFileSampleBytes, kFileSampleBytes, [] {
        benchmark::DoNotOptimize(Image().GetPeak());
        return true;
    });
}

void ApplyGain(benchmark::State& state) {
    Image();  // made before the timings
    AgainstMemcpy(state, kFileSampleBytes, kFileSampleBytes, [] {
        Image().ApplyGain(kFactor);
        return true;
    });
}

// A new file every time, as for a Save to a new name.
void Write(benchmark::State& state) {
    Image();  // made before the timings
    AgainstMemcpy(state, kFileSampleBytes, kFileSampleBytes, [] {
        const bool written = Image().Write(OutputPath().c_str());
        ::unlink(OutputPath().c_str());
        return written;
    });
}

// sonorette-gain's work on one file without --percent: the peak pass, then read, scale, write.
void FileGain(benchmark::State& state) {
    InputFile();
    AgainstMemcpy(state, kFileSampleBytes, kFileSampleBytes, [] {
        const bool written =
            GainFileInPieces(InputFile().c_str(), OutputPath().c_str(), std::nullopt).has_value();
        ::unlink(OutputPath().c_str());
        return written;
    });
}

void RemoveTempFolder() {
    for (const char* name : {"/in.wav", "/out.wav"}) {
        ::unlink((TempFolder() + name).c_str());
    }
    ::rmdir(TempFolder().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // The reader and the gain tell the user things; a benchmark has no user to tell.
    platform::SetMessageHandler([](std::string_view, const platform::MessageSubject&) {});

    const auto kernel = [](const char* name, void (*function)(benchmark::State&)) {
        benchmark::RegisterBenchmark((std::string("Kernel/") + name).c_str(), function)
            ->Arg(static_cast<std::int64_t>(kPieceBytes))
            ->Arg(static_cast<std::int64_t>(kLargeBytes))
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    };
    kernel("Memcpy", Memcpy);
    kernel("Peak16", Peak16);
    kernel("Peak8", Peak8);
    kernel("Scale16", Scale16);
    kernel("Scale16Copy", Scale16Copy);
    kernel("Widen8To16", Widen8To16);
    kernel("Narrow16To8", Narrow16To8);
    kernel("MonoToStereo16", MonoToStereo16);

    const auto operation = [](const char* name, void (*function)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, function)
            ->Iterations(4)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    };
    operation("Image/Read", Read);
    operation("Image/GetPeak", GetPeak);
    operation("Image/ApplyGain", ApplyGain);
    operation("Image/Write", Write);
    operation("File/GainFileInPieces", FileGain);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RemoveTempFolder();
    return 0;
}
