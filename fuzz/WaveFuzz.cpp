// wave_fuzz: libFuzzer target for the wave document. Each input is read as a file through
// CWaveData(path), then measured, copied, gained, widened to stereo, narrowed to 8 bits and
// written out as a file image, and the documented result of every step is checked. The same file
// also goes through the piecewise file gain, which must give the percentage, the file and the
// messages of the whole image. A broken check prints its text and aborts, so that libFuzzer keeps
// the input and prints the stack.
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/MessageBox.h"
#include "wave/SampleKernels.h"
#include "wave/StreamingGain.h"
#include "wave/WaveData.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kHeaderBytes = 44;
// A sample block read from a file starts after the RIFF header (12 bytes), the format chunk's
// header (8) and the data chunk's header (8) at the least.
constexpr std::size_t kFirstSampleOffset = 28;

// Messages shown since start-up, and the texts of those since the last Clear of g_texts. The
// handler keeps them instead of showing them, so that the run does not flood standard error, and
// checks that no control character would reach the user.
std::size_t g_messages = 0;
std::string g_texts;

void CountMessage(std::string_view text, const platform::MessageSubject& /*subject*/) {
    ++g_messages;
    g_texts.append(text).push_back('\n');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
    }
}

// One file in memory, created once and refilled for every input; the reader opens it by path.
class MemoryFile {
  public:
    MemoryFile() : m_fd(::memfd_create("wave_fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(m_fd >= 0);
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(m_fd); }

    void Fill(const std::uint8_t* data, std::size_t size) {
        FUZZ_CHECK(::ftruncate(m_fd, static_cast<off_t>(size)) == 0);
        std::size_t written = 0;
        while (written < size) {
            const ssize_t n =
                ::pwrite(m_fd, data + written, size - written, static_cast<off_t>(written));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            FUZZ_CHECK(n > 0);
            written += static_cast<std::size_t>(n);
        }
    }

    const char* Path() const { return m_path.c_str(); }

  private:
    int m_fd;
    std::string m_path;
};

MemoryFile& TheFile() {
    static MemoryFile file;
    return file;
}

std::uint16_t LoadLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t LoadLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int Sample16(const Bytes& bytes, std::size_t index) {
    return static_cast<std::int16_t>(LoadLE16(bytes.data() + 2 * index));
}

void AppendLE16(Bytes& bytes, int value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

Bytes SamplesOf(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        return {};
    }
    const std::uint8_t* samples = wave.m_pSamples.get();
    return Bytes(samples, samples + wave.m_sampleBytes);
}

// Whether samples is, byte for byte, the body of a chunk "data" of the input.
bool IsDataBody(const Bytes& samples, const std::uint8_t* data, std::size_t size) {
    const std::size_t count = samples.size();
    for (std::size_t body = kFirstSampleOffset; body + count <= size; ++body) {
        if (LoadLE32(data + body - 8) == MakeChunkId("data") &&
            LoadLE32(data + body - 4) == count &&
            (count == 0 || std::memcmp(data + body, samples.data(), count) == 0)) {
            return true;
        }
    }
    return false;
}

void CheckRead(const CWaveData& wave, const std::uint8_t* data, std::size_t size,
               std::size_t messagesBefore) {
    if (!wave.HasSamples()) {
        // A read that fails has told the user why and leaves no samples.
        FUZZ_CHECK(wave.m_sampleBytes == 0);
        FUZZ_CHECK(g_messages > messagesBefore);
        return;
    }
    FUZZ_CHECK(wave.m_riffId == MakeChunkId("RIFF"));
    FUZZ_CHECK(wave.m_waveId == MakeChunkId("WAVE"));
    FUZZ_CHECK(wave.m_fmtId == MakeChunkId("fmt "));
    FUZZ_CHECK(wave.m_dataId == MakeChunkId("data"));
    FUZZ_CHECK(wave.m_formatTag == 1 || wave.m_formatTag == 3);
    FUZZ_CHECK(wave.m_channels == 1 || wave.m_channels == 2);
    FUZZ_CHECK(samplekernels::EncodingOf(wave.m_formatTag, wave.m_bitsPerSample).has_value());
    FUZZ_CHECK(wave.m_samplesPerSec > 0);
    // Every form the program makes of it (16-bit stereo, and stereo at its own depth) has a byte
    // rate that fits.
    const std::uint64_t widestFrameBytes = 2 * std::max(2u, (wave.m_bitsPerSample + 7u) / 8u);
    FUZZ_CHECK(wave.m_samplesPerSec * widestFrameBytes <= 0xFFFFFFFFu);
    FUZZ_CHECK(wave.m_blockAlign == wave.m_channels * ((wave.m_bitsPerSample + 7) / 8));
    FUZZ_CHECK(wave.m_avgBytesPerSec == wave.m_samplesPerSec * wave.m_blockAlign);
    FUZZ_CHECK(wave.m_dataSize == wave.m_sampleBytes);
    FUZZ_CHECK(kFirstSampleOffset + wave.m_sampleBytes <= size);
    FUZZ_CHECK(IsDataBody(SamplesOf(wave), data, size));
}

// A wide sample (24-bit or 32-bit PCM, or a float) in steps of a 16-bit sample.
double WideSteps(const Bytes& bytes, std::size_t index, std::uint16_t formatTag,
                 std::uint16_t bits) {
    const std::size_t width = bits / 8u;
    const std::uint8_t* p = bytes.data() + index * width;
    if (formatTag == 3 && bits == 32) {
        float x;
        std::memcpy(&x, p, 4);
        return static_cast<double>(x) * 32768.0;
    }
    if (formatTag == 3) {
        double x;
        std::memcpy(&x, p, 8);
        return x * 32768.0;
    }
    std::int64_t value = 0;
    for (std::size_t b = 0; b < width; ++b) {
        value |= std::int64_t{p[b]} << (8 * b);
    }
    value -= (p[width - 1] & 0x80) != 0 ? std::int64_t{1} << (8 * width) : 0;
    return static_cast<double>(value) / static_cast<double>(std::int64_t{1} << (8 * width - 16));
}

bool IsWide(const CWaveData& wave) {
    return wave.m_bitsPerSample > 16;
}

double CheckPeak(const CWaveData& wave) {
    const double peak = wave.GetPeak();
    // Only floats go beyond full scale.
    FUZZ_CHECK(peak >= 0.0 && (peak <= 1.0 || wave.m_formatTag == 3));
    if (!wave.HasSamples()) {
        FUZZ_CHECK(peak == 0.0);
        return peak;
    }
    // The same fraction worked out sample by sample; both are exact multiples of a power of two.
    const Bytes samples = SamplesOf(wave);
    int largest = 0;
    double expected = 0.0;
    if (IsWide(wave)) {
        for (std::size_t i = 0; i < samples.size() / (wave.m_bitsPerSample / 8u); ++i) {
            const double magnitude =
                std::fabs(WideSteps(samples, i, wave.m_formatTag, wave.m_bitsPerSample));
            expected = std::isfinite(magnitude) ? std::max(expected, magnitude) : expected;
        }
        expected /= 32768.0;
    } else if (wave.m_bitsPerSample == 16) {
        for (std::size_t i = 0; i < samples.size() / 2; ++i) {
            largest = std::max(largest, std::abs(Sample16(samples, i)));
        }
        expected = largest / 32768.0;
    } else {
        for (const std::uint8_t s : samples) {
            largest = std::max(largest, std::abs(s - 128));
        }
        expected = largest / 128.0;
    }
    FUZZ_CHECK(peak == expected);
    return peak;
}

void CheckPercent(double peak) {
    const int percent = ProposePercent(peak);
    if (peak == 0.0) {
        FUZZ_CHECK(percent == 0);
    } else if (peak > 1.0) {
        FUZZ_CHECK(percent >= 0 && percent <= 100);
    } else {
        FUZZ_CHECK(percent >= 100 && percent <= 1000);
    }
}

void CheckCopy(const CWaveData& source, const CWaveData& copy) {
    FUZZ_CHECK(copy.HasSamples() == source.HasSamples());
    FUZZ_CHECK(copy.m_sampleBytes == source.m_sampleBytes);
    FUZZ_CHECK(copy.m_formatTag == source.m_formatTag);
    FUZZ_CHECK(copy.m_channels == source.m_channels);
    FUZZ_CHECK(copy.m_samplesPerSec == source.m_samplesPerSec);
    FUZZ_CHECK(copy.m_avgBytesPerSec == source.m_avgBytesPerSec);
    FUZZ_CHECK(copy.m_blockAlign == source.m_blockAlign);
    FUZZ_CHECK(copy.m_bitsPerSample == source.m_bitsPerSample);
    FUZZ_CHECK(copy.m_riffId == 0 && copy.m_riffSize == 0 && copy.m_waveId == 0);
    FUZZ_CHECK(copy.m_fmtId == 0 && copy.m_fmtSize == 0);
    FUZZ_CHECK(copy.m_dataId == 0 && copy.m_dataSize == 0);
    if (source.HasSamples()) {
        FUZZ_CHECK(copy.m_pSamples.get() != source.m_pSamples.get());
        FUZZ_CHECK(SamplesOf(copy) == SamplesOf(source));
    }
}

// The gained value of one 16-bit sample: truncated toward zero, then limited to the 16-bit range.
int ExpectedGain(int sample, double factor) {
    const double truncated = std::trunc(sample * factor);
    return static_cast<int>(std::clamp(truncated, -32768.0, 32767.0));
}

// Wide samples are narrowed to 16-bit PCM with dither: within a step and a half of the product,
// or saturated where the product is beyond that of the limits; silence and NaN become 0.
void CheckNarrowingGain(const CWaveData& wave, const Bytes& before, std::uint16_t formatTag,
                        std::uint16_t bits, double factor) {
    FUZZ_CHECK(wave.m_formatTag == 1);
    FUZZ_CHECK(wave.m_blockAlign == wave.m_channels * 2);
    FUZZ_CHECK(wave.m_avgBytesPerSec == wave.m_samplesPerSec * wave.m_blockAlign);
    const Bytes after = SamplesOf(wave);
    const std::size_t count = before.size() / (bits / 8u);
    FUZZ_CHECK(after.size() == 2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        const double g = WideSteps(before, i, formatTag, bits) * factor;
        const int s = Sample16(after, i);
        if (std::isnan(g) || g == 0.0) {
            FUZZ_CHECK(s == 0);
        } else if (g >= 32768.5 || g <= -32769.5) {
            FUZZ_CHECK(s == (g < 0 ? -32768 : 32767));
        } else {
            FUZZ_CHECK(std::fabs(s - std::clamp(g, -32768.0, 32767.0)) < 1.5);
        }
    }
}

void CheckApplyGain(CWaveData& wave, double factor) {
    const bool hadSamples = wave.HasSamples();
    const Bytes before = SamplesOf(wave);
    const std::uint16_t formatTag = wave.m_formatTag;
    const std::uint16_t bits = wave.m_bitsPerSample;
    const bool widened = wave.m_bitsPerSample == 8;
    const std::uint32_t avgBytesPerSec = wave.m_avgBytesPerSec;
    const std::uint16_t blockAlign = wave.m_blockAlign;
    wave.ApplyGain(factor);
    if (!hadSamples) {
        FUZZ_CHECK(!wave.HasSamples() && wave.m_sampleBytes == 0);
        return;
    }
    FUZZ_CHECK(wave.HasSamples());
    FUZZ_CHECK(wave.m_bitsPerSample == 16);
    if (bits > 16) {
        CheckNarrowingGain(wave, before, formatTag, bits, factor);
        return;
    }
    // The samples as 16-bit values before the gain: 8-bit ones widened, 16-bit ones as they were.
    Bytes wide;
    if (widened) {
        for (const std::uint8_t s : before) {
            AppendLE16(wide, (s - 128) * 256);
        }
        FUZZ_CHECK(wave.m_avgBytesPerSec == static_cast<std::uint32_t>(avgBytesPerSec * 2u));
        FUZZ_CHECK(wave.m_blockAlign == static_cast<std::uint16_t>(blockAlign * 2));
    } else {
        wide = before;
        FUZZ_CHECK(wave.m_avgBytesPerSec == avgBytesPerSec);
        FUZZ_CHECK(wave.m_blockAlign == blockAlign);
    }
    const Bytes after = SamplesOf(wave);
    FUZZ_CHECK(after.size() == wide.size());
    for (std::size_t i = 0; i < wide.size() / 2; ++i) {
        FUZZ_CHECK(Sample16(after, i) == ExpectedGain(Sample16(wide, i), factor));
    }
    // A trailing odd byte belongs to no sample and is left as it was.
    if (wide.size() % 2 != 0) {
        FUZZ_CHECK(after.back() == wide.back());
    }
}

void CheckMonoToStereo(CWaveData& wave) {
    const bool hadSamples = wave.HasSamples();
    const Bytes before = SamplesOf(wave);
    const bool mono = wave.m_channels == 1;
    const std::uint32_t avgBytesPerSec = wave.m_avgBytesPerSec;
    const std::uint16_t blockAlign = wave.m_blockAlign;
    wave.MonoToStereo();
    if (!hadSamples) {
        FUZZ_CHECK(!wave.HasSamples() && wave.m_sampleBytes == 0);
        return;
    }
    FUZZ_CHECK(wave.HasSamples());
    FUZZ_CHECK(wave.m_channels == 2);
    const Bytes after = SamplesOf(wave);
    if (!mono) {
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(after.size() == 2 * before.size());
    FUZZ_CHECK(wave.m_avgBytesPerSec == static_cast<std::uint32_t>(avgBytesPerSec * 2u));
    FUZZ_CHECK(wave.m_blockAlign == static_cast<std::uint16_t>(blockAlign * 2));
    if (wave.m_bitsPerSample != 16) {
        // Whole samples of any other width, each twice; a trailing part of one is dropped.
        const std::size_t width = (wave.m_bitsPerSample + 7u) / 8u;
        for (std::size_t i = 0; i < before.size() / width; ++i) {
            for (std::size_t b = 0; b < width; ++b) {
                FUZZ_CHECK(after[2 * i * width + b] == before[i * width + b]);
                FUZZ_CHECK(after[(2 * i + 1) * width + b] == before[i * width + b]);
            }
        }
        return;
    }
    for (std::size_t i = 0; i < before.size() / 2; ++i) {
        FUZZ_CHECK(Sample16(after, 2 * i) == Sample16(before, i));
        FUZZ_CHECK(Sample16(after, 2 * i + 1) == Sample16(before, i));
    }
    // A trailing odd byte becomes a silent stereo frame's last two bytes.
    if (before.size() % 2 != 0) {
        FUZZ_CHECK(after[after.size() - 2] == 0 && after[after.size() - 1] == 0);
    }
}

void CheckConvert16To8(CWaveData& wave) {
    const bool hadSamples = wave.HasSamples();
    const Bytes before = SamplesOf(wave);
    const std::uint32_t avgBytesPerSec = wave.m_avgBytesPerSec;
    const std::uint16_t blockAlign = wave.m_blockAlign;
    wave.Convert16To8();
    if (!hadSamples) {
        FUZZ_CHECK(!wave.HasSamples() && wave.m_sampleBytes == 0);
        return;
    }
    FUZZ_CHECK(wave.HasSamples());
    FUZZ_CHECK(wave.m_bitsPerSample == 8);
    FUZZ_CHECK(wave.m_avgBytesPerSec == avgBytesPerSec / 2);
    FUZZ_CHECK(wave.m_blockAlign == blockAlign / 2);
    const Bytes after = SamplesOf(wave);
    FUZZ_CHECK(after.size() == before.size() / 2);
    for (std::size_t i = 0; i < after.size(); ++i) {
        FUZZ_CHECK(after[i] == static_cast<std::uint8_t>((Sample16(before, i) >> 8) + 128));
    }
}

// Builds the file image of wave and checks its header and samples; an image with samples is also
// read back through the memory file and must give the same document without a message.
void CheckFileImage(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        FUZZ_CHECK(wave.m_sampleBytes == 0);
    }
    // Whole samples only, and a pad byte after an odd data chunk.
    const std::uint32_t sampleBytes =
        wave.m_bitsPerSample > 8 ? (wave.m_bitsPerSample + 7u) / 8 : 1;
    const std::uint32_t dataBytes = wave.m_sampleBytes - wave.m_sampleBytes % sampleBytes;
    const std::uint32_t size = wave.GetWriteSize();
    FUZZ_CHECK(size == kHeaderBytes + dataBytes + dataBytes % 2);
    Bytes image(size);
    wave.BuildFileImage(image.data(), size);
    const std::uint8_t* p = image.data();
    FUZZ_CHECK(LoadLE32(p) == MakeChunkId("RIFF"));
    FUZZ_CHECK(LoadLE32(p + 4) == size - 8);
    FUZZ_CHECK(LoadLE32(p + 8) == MakeChunkId("WAVE"));
    FUZZ_CHECK(LoadLE32(p + 12) == MakeChunkId("fmt "));
    FUZZ_CHECK(LoadLE32(p + 16) == 16);
    FUZZ_CHECK(LoadLE16(p + 20) == wave.m_formatTag);
    FUZZ_CHECK(LoadLE16(p + 22) == wave.m_channels);
    FUZZ_CHECK(LoadLE32(p + 24) == wave.m_samplesPerSec);
    FUZZ_CHECK(LoadLE32(p + 28) ==
               static_cast<std::uint32_t>(std::uint64_t{wave.m_samplesPerSec} * wave.m_blockAlign));
    FUZZ_CHECK(LoadLE16(p + 32) == wave.m_blockAlign);
    FUZZ_CHECK(LoadLE16(p + 34) == wave.m_bitsPerSample);
    FUZZ_CHECK(LoadLE32(p + 36) == MakeChunkId("data"));
    FUZZ_CHECK(LoadLE32(p + 40) == dataBytes);
    Bytes samples = SamplesOf(wave);
    samples.resize(dataBytes);
    FUZZ_CHECK(std::equal(image.begin() + kHeaderBytes, image.begin() + kHeaderBytes + dataBytes,
                          samples.begin(), samples.end()));
    FUZZ_CHECK(dataBytes % 2 == 0 || image.back() == 0);
    if (!wave.HasSamples()) {
        return;
    }

    MemoryFile& file = TheFile();
    file.Fill(image.data(), image.size());
    const std::size_t messagesBefore = g_messages;
    const CWaveData back(file.Path());
    FUZZ_CHECK(g_messages == messagesBefore);
    FUZZ_CHECK(back.HasSamples());
    FUZZ_CHECK(back.m_riffSize == size - 8);
    FUZZ_CHECK(back.m_fmtSize == 16);
    FUZZ_CHECK(back.m_formatTag == wave.m_formatTag);
    FUZZ_CHECK(back.m_channels == wave.m_channels);
    FUZZ_CHECK(back.m_samplesPerSec == wave.m_samplesPerSec);
    FUZZ_CHECK(back.m_avgBytesPerSec == wave.m_avgBytesPerSec);
    FUZZ_CHECK(back.m_blockAlign == wave.m_blockAlign);
    FUZZ_CHECK(back.m_bitsPerSample == wave.m_bitsPerSample);
    FUZZ_CHECK(back.m_dataSize == dataBytes);
    FUZZ_CHECK(SamplesOf(back) == samples);
}

// A folder for the piecewise gain's output file, removed at exit.
const std::string& OutputFolder() {
    static const std::string folder = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                              std::string("/wave_fuzz.XXXXXX");
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        std::atexit([] { ::rmdir(OutputFolder().c_str()); });
        return pattern;
    }();
    return folder;
}

Bytes ReadWholeFile(const std::string& path) {
    Bytes bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        std::fclose(file);
    }
    return bytes;
}

// The file in the memory file, proposed, scaled and written by the whole image and by the
// piecewise gain: the same percentage, file and messages.
void CheckGainInPieces() {
    g_texts.clear();
    std::optional<int> wholePercent;
    Bytes wholeFile;
    {
        CWaveData whole(TheFile().Path());
        if (whole.HasSamples()) {
            const int percent = ProposePercent(whole.GetPeak());
            whole.ApplyGain(GainFactor(percent));
            if (whole.HasSamples()) {
                wholePercent = percent;
                wholeFile.resize(whole.GetWriteSize());
                whole.BuildFileImage(wholeFile.data(), whole.GetWriteSize());
            }
        }
    }
    const std::string wholeTexts = g_texts;
    g_texts.clear();
    const std::string output = OutputFolder() + "/out.wav";
    const std::optional<int> piecesPercent =
        GainFileInPieces(TheFile().Path(), output.c_str(), std::nullopt);
    FUZZ_CHECK(piecesPercent == wholePercent);
    FUZZ_CHECK(g_texts == wholeTexts);
    FUZZ_CHECK(ReadWholeFile(output) == wholeFile);
    ::unlink(output.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    platform::SetMessageHandler(CountMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryFile& file = TheFile();
    file.Fill(data, size);
    const std::size_t messagesBefore = g_messages;
    CWaveData wave(file.Path());
    CheckRead(wave, data, size, messagesBefore);
    CheckPercent(CheckPeak(wave));

    // The gain comes from the last input byte: -4 to 11.9375 in steps of 1/16.
    const double factor = size > 0 ? (data[size - 1] - 64) / 16.0 : 2.5;
    CWaveData copy(wave);
    CheckCopy(wave, copy);
    CheckApplyGain(copy, factor);
    CheckPercent(CheckPeak(copy));
    CheckMonoToStereo(copy);
    CheckConvert16To8(copy);
    CheckPercent(CheckPeak(copy));
    CheckFileImage(copy);

    // The image as read goes through the stereo widening at its own depth and is written too.
    CheckMonoToStereo(wave);
    CheckFileImage(wave);

    file.Fill(data, size);
    CheckGainInPieces();
    return 0;
}
