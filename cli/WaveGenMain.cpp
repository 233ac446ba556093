// sonorette-wavegen: writes a test tone as a PCM wave file, for the demo, the tests and the
// benchmarks. Not installed.
//
//   sonorette-wavegen OUTPUT [--rate HZ] [--channels 1|2] [--bits 8|16]
//                            [--seconds S | --bytes N] [--peak FRACTION] [--signal tone|counter]
//
// The tone is a 440 Hz sine (660 Hz on the right channel) whose largest sample is FRACTION of
// full scale, so the percentage proposed for it is known in advance.
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
        "usage: sonorette-wavegen OUTPUT [--rate HZ] [--channels 1|2] [--bits 8|16]\n"
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
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const char* value = argv[i + 1];
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
    if (argc % 2 != 0 || rate == 0 || (channels != 1 && channels != 2) ||
        (bits != 8 && bits != 16) || peak < 0.0 || peak > 1.0 ||
        (signal != "tone" && signal != "counter") ||
        (signal == "counter" && (channels != 2 || bits != 16))) {
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
    wave.m_formatTag = 1;
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
    // repeated.
    const double full = bits == 16 ? 32767.0 : 127.0;
    std::vector<long> second(rate * channels);
    for (unsigned long f = 0; f < rate; ++f) {
        for (unsigned long c = 0; c < channels; ++c) {
            const double hz = c == 0 ? 440.0 : 660.0;
            const double phase =
                2.0 * std::numbers::pi * hz * static_cast<double>(f) / static_cast<double>(rate);
            second[f * channels + c] = std::lround(std::sin(phase) * full * peak);
        }
    }
    for (unsigned long long f = 0; f < frames; ++f) {
        for (unsigned long c = 0; c < channels; ++c) {
            const long value = second[(f % rate) * channels + c];
            if (bits == 16) {
                const auto s = static_cast<std::int16_t>(value);
                std::memcpy(out, &s, 2);
                out += 2;
            } else {
                *out++ = static_cast<std::uint8_t>(value + 128);
            }
        }
    }
    return wave.Write(output) ? 0 : 1;
}
