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
// a whole sample block in memory that the peak and the gain split between two threads. Levels16
// is the peak with the clip count of every percentage that Browse measures (against Peak16, the
// peak alone); Peak24, Narrow24 and the others work on wide samples, whose bytes hold fewer
// samples than the 16-bit ones of the same length (bench/gain_vs_cp.sh compares files of the
// same duration end to end). The
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
#include "wave/SampleLevels.h"
#include "wave/StreamingGain.h"
#include "wave/WaveData.h"
#include "wave/WideSampleKernels.h"

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

// The tone of ToneBlock as samples of a wide encoding, bytes long (whole samples): 24-bit and
// 32-bit ones with low bits that are not zero, floats over 32768.
std::unique_ptr<std::uint8_t[]> WideToneBlock(std::size_t bytes, sk::SampleEncoding encoding) {
    const std::size_t width = sk::BytesOf(encoding);
    const std::size_t count = bytes / width;
    const std::unique_ptr<std::uint8_t[]> tone = ToneBlock(2 * count, false);
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, tone.get() + 2 * i, 2);
        const auto fine =
            static_cast<std::int32_t>(s) * 65536 + static_cast<std::int32_t>(i % 65536);
        std::uint8_t* out = block.get() + i * width;
        if (encoding == sk::SampleEncoding::kFloat32) {
            const float x = static_cast<float>(fine) / 2147483648.0f;
            std::memcpy(out, &x, 4);
        } else if (encoding == sk::SampleEncoding::kFloat64) {
            const double x = fine / 2147483648.0;
            std::memcpy(out, &x, 8);
        } else if (encoding == sk::SampleEncoding::kPcm24) {
            const std::int32_t s24 = fine / 256;
            std::memcpy(out, &s24, 3);
        } else {
            std::memcpy(out, &fine, 4);
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

// The peak with the clip counts of every percentage, as Browse measures them for the dialog.
void Levels16(benchmark::State& state) {
    const std::span<const std::uint8_t> samples(Block("samples", Bytes(state)), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(CSampleLevels::Measure(samples, sk::SampleEncoding::kPcm16));
        return true;
    });
}

// What the file gain adds for 16-bit samples to count the ones it clips: one more pass over the
// piece, which is in the cache.
void CountClipped16(benchmark::State& state) {
    const std::span<const std::uint8_t> samples(Block("samples", Bytes(state)), Bytes(state));
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(sk::CountClipped16(samples, 5.0));
        return true;
    });
}

// Wide samples, their bytes kept for the whole run by encoding.
std::span<std::uint8_t> WideBlock(std::size_t bytes, sk::SampleEncoding encoding) {
    static std::map<std::pair<int, std::size_t>, std::unique_ptr<std::uint8_t[]>> blocks;
    auto& block = blocks[{static_cast<int>(encoding), bytes}];
    if (!block) {
        block = WideToneBlock(bytes, encoding);
    }
    return {block.get(), bytes};
}

// The peak of wide samples, and their levels, over Bytes(state) of samples.
template <sk::SampleEncoding kEncoding>
void PeakWide(benchmark::State& state) {
    const std::span<const std::uint8_t> samples = WideBlock(Bytes(state), kEncoding);
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(sk::PeakOf(samples, kEncoding));
        return true;
    });
}

template <sk::SampleEncoding kEncoding>
void LevelsWide(benchmark::State& state) {
    const std::span<const std::uint8_t> samples = WideBlock(Bytes(state), kEncoding);
    AgainstMemcpy(state, Bytes(state), Bytes(state), [&] {
        benchmark::DoNotOptimize(CSampleLevels::Measure(samples, kEncoding));
        return true;
    });
}

// The gain that narrows wide samples with dither, as the file gain does, from Bytes(state) of
// them; the memcpy is of the 16-bit bytes it writes.
template <sk::SampleEncoding kEncoding>
void NarrowWide(benchmark::State& state) {
    const std::span<const std::uint8_t> samples = WideBlock(Bytes(state), kEncoding);
    const std::size_t outBytes = 2 * (Bytes(state) / sk::BytesOf(kEncoding));
    const std::span<std::uint8_t> narrowed(Block("target", outBytes), outBytes);
    AgainstMemcpy(state, Bytes(state), outBytes, [&] {
        benchmark::DoNotOptimize(sk::NarrowWithGain(samples, kEncoding, narrowed, kFactor, 0));
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
    kernel("Levels16", Levels16);
    kernel("CountClipped16", CountClipped16);
    kernel("Peak24", PeakWide<sk::SampleEncoding::kPcm24>);
    kernel("PeakFloat32", PeakWide<sk::SampleEncoding::kFloat32>);
    kernel("Levels24", LevelsWide<sk::SampleEncoding::kPcm24>);
    kernel("LevelsFloat32", LevelsWide<sk::SampleEncoding::kFloat32>);
    kernel("Narrow24", NarrowWide<sk::SampleEncoding::kPcm24>);
    kernel("NarrowFloat32", NarrowWide<sk::SampleEncoding::kFloat32>);
    kernel("NarrowFloat64", NarrowWide<sk::SampleEncoding::kFloat64>);
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
