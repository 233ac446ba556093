// sonorette-wavegen: writes a test tone as a PCM wave file, for the demo, the tests and the
// benchmarks. Not installed.
//
//   sonorette-wavegen OUTPUT [--rate HZ] [--channels 1|2] [--bits 8|16|24|32|64] [--float]
//                            [--seconds S | --bytes N] [--peak FRACTION] [--signal tone|counter]
//
// The tone is a 440 Hz sine (660 Hz on the right channel) whose largest sample is FRACTION of
// full scale, so the percentage proposed for it is known in advance. --float writes IEEE floats
// (32 or 64 bits), whose FRACTION may exceed 1.
//
// The counter (16-bit stereo only) makes every frame distinct and none silent, so a recording of
// it shows exactly which frames were heard, skipped or repeated: the left sample counts 1 to 32767
// and starts again, the right one steps down from -1 each time the left one starts again.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>
#include <string_view>
#include <vector>

#include "wave/WaveData.h"

namespace {

int Usage() {
    std::fputs(
        "usage: sonorette-wavegen OUTPUT [--rate HZ] [--channels 1|2] [--bits 8|16|24|32|64]\n"
        "                         [--float]\n"
        "                         [--seconds S | --bytes N] [--peak FRACTION]\n"
        "                         [--signal tone|counter]\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const char* output = argv[1];
    unsigned long rate = 44100;
    unsigned long channels = 2;
    unsigned long bits = 16;
    double seconds = 1.0;
    unsigned long long bytes = 0;
    double peak = 0.5;
    std::string_view signal = "tone";
    bool floats = false;
    for (int i = 2; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--float") {
            floats = true;
            continue;
        }
        if (i + 1 == argc) {
            return Usage();
        }
        const char* value = argv[++i];
        if (name == "--rate") {
            rate = std::strtoul(value, nullptr, 10);
        } else if (name == "--channels") {
            channels = std::strtoul(value, nullptr, 10);
        } else if (name == "--bits") {
            bits = std::strtoul(value, nullptr, 10);
        } else if (name == "--seconds") {
            seconds = std::strtod(value, nullptr);
        } else if (name == "--bytes") {
            bytes = std::strtoull(value, nullptr, 10);
        } else if (name == "--peak") {
            peak = std::strtod(value, nullptr);
        } else if (name == "--signal") {
            signal = value;
        } else {
            return Usage();
        }
    }
    const bool bitsFit =
        floats ? (bits == 32 || bits == 64) : (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    if (rate == 0 || (channels != 1 && channels != 2) || !bitsFit || peak < 0.0 ||
        (peak > 1.0 && !floats) || (signal != "tone" && signal != "counter") ||
        (signal == "counter" && (channels != 2 || bits != 16 || floats))) {
        return Usage();
    }
    const unsigned long frameBytes = channels * bits / 8;
    const unsigned long long frames =
        bytes > 0 ? bytes / frameBytes
                  : static_cast<unsigned long long>(seconds * static_cast<double>(rate));
    const unsigned long long sampleBytes = frames * frameBytes;
    constexpr unsigned long long kCounterSteps = 32767;
    if (sampleBytes > 0xFFFFFFFFull - 44 ||
        (signal == "counter" && frames > kCounterSteps * kCounterSteps)) {
        return Usage();
    }

    CWaveData wave;
    wave.m_formatTag = floats ? 3 : 1;
    wave.m_channels = static_cast<std::uint16_t>(channels);
    wave.m_samplesPerSec = static_cast<std::uint32_t>(rate);
    wave.m_avgBytesPerSec = static_cast<std::uint32_t>(rate * frameBytes);
    wave.m_blockAlign = static_cast<std::uint16_t>(frameBytes);
    wave.m_bitsPerSample = static_cast<std::uint16_t>(bits);
    wave.m_pSamples.reset(new (std::nothrow) std::uint8_t[sampleBytes]);
    if (!wave.m_pSamples) {
        std::fputs("sonorette-wavegen: out of memory\n", stderr);
        return 1;
    }
    wave.m_sampleBytes = static_cast<std::uint32_t>(sampleBytes);

    std::uint8_t* out = wave.m_pSamples.get();
    if (signal == "counter") {
        for (unsigned long long f = 0; f < frames; ++f) {
            const auto left = static_cast<std::int16_t>(f % kCounterSteps + 1);
            const auto right =
                static_cast<std::int16_t>(-static_cast<long long>(f / kCounterSteps) - 1);
            std::memcpy(out, &left, 2);
            std::memcpy(out + 2, &right, 2);
            out += 4;
        }
        return wave.Write(output) ? 0 : 1;
    }

    // One second holds whole periods of 440 and 660 Hz, so one second of samples is computed and
    // repeated. Integers are little-endian two's complement (8 bits offset by 128), so the low
    // bytes of a 64-bit one are the sample.
    const double full = floats ? 1.0 : std::ldexp(1.0, static_cast<int>(bits) - 1) - 1.0;
    const std::size_t sampleBytes1 = bits / 8;
    std::vector<std::uint8_t> second(rate * channels * sampleBytes1);
    for (unsigned long f = 0; f < rate; ++f) {
        for (unsigned long c = 0; c < channels; ++c) {
            const double hz = c == 0 ? 440.0 : 660.0;
            const double phase =
                2.0 * std::numbers::pi * hz * static_cast<double>(f) / static_cast<double>(rate);
            const double value = std::sin(phase) * full * peak;
            std::uint8_t* at = &second[(f * channels + c) * sampleBytes1];
            if (floats && bits == 32) {
                const auto x = static_cast<float>(value);
                std::memcpy(at, &x, 4);
            } else if (floats) {
                std::memcpy(at, &value, 8);
            } else {
                const long long s = std::llround(value) + (bits == 8 ? 128 : 0);
                std::memcpy(at, &s, sampleBytes1);
            }
        }
    }
    for (unsigned long long f = 0; f < frames; ++f) {
        std::memcpy(out, &second[(f % rate) * frameBytes], frameBytes);
        out += frameBytes;
    }
    return wave.Write(output) ? 0 : 1;
}
