#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>

#include "platform/MessageBox.h"
#include "wave/WaveData.h"

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonorette-test-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary folder";
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(m_path, error);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

namespace {

void AppendLE16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendLE32(Bytes& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void AppendId(Bytes& bytes, std::string_view id) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i < id.size() ? id[i] : ' '));
    }
}

}  // namespace

Bytes FormatRecord(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t samplesPerSec,
                   std::uint16_t bitsPerSample) {
    const auto blockAlign = static_cast<std::uint16_t>(channels * bitsPerSample / 8);
    Bytes record;
    AppendLE16(record, formatTag);
    AppendLE16(record, channels);
    AppendLE32(record, samplesPerSec);
    AppendLE32(record, samplesPerSec * blockAlign);
    AppendLE16(record, blockAlign);
    AppendLE16(record, bitsPerSample);
    return record;
}

Bytes ExtensibleRecord(std::uint16_t channels, std::uint32_t samplesPerSec,
                       std::uint16_t bitsPerSample, std::uint16_t validBits,
                       std::uint16_t subFormatTag) {
    Bytes record = FormatRecord(0xFFFE, channels, samplesPerSec, bitsPerSample);
    AppendLE16(record, 22);
    AppendLE16(record, validBits);
    AppendLE32(record, 3);  // front left and right
    AppendLE16(record, subFormatTag);
    record.insert(record.end(), {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
    return record;
}

Bytes Patched(Bytes bytes, std::size_t offset, std::uint32_t value, std::size_t byteCount) {
    for (std::size_t i = 0; i < byteCount; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return bytes;
}

Bytes WaveFileOf(std::uint16_t channels, std::uint32_t samplesPerSec, std::uint16_t bitsPerSample,
                 const Bytes& data, std::uint16_t formatTag) {
    return RiffBuilder()
        .Chunk("fmt ", FormatRecord(formatTag, channels, samplesPerSec, bitsPerSample))
        .Chunk("data", data)
        .Build();
}

RiffBuilder& RiffBuilder::Chunk(std::string_view id, const Bytes& body, bool padOddBody) {
    ChunkWithSize(id, static_cast<std::uint32_t>(body.size()), body);
    if (padOddBody && body.size() % 2 != 0) {
        m_body.push_back(0);
    }
    return *this;
}

RiffBuilder& RiffBuilder::ChunkWithSize(std::string_view id, std::uint32_t sizeField,
                                        const Bytes& body) {
    AppendId(m_body, id);
    AppendLE32(m_body, sizeField);
    m_body.insert(m_body.end(), body.begin(), body.end());
    return *this;
}

Bytes RiffBuilder::Build() const {
    Bytes file;
    AppendId(file, "RIFF");
    AppendLE32(file, static_cast<std::uint32_t>(m_body.size() + 4));
    AppendId(file, "WAVE");
    file.insert(file.end(), m_body.begin(), m_body.end());
    return file;
}

Bytes Samples16(const std::vector<std::int16_t>& samples) {
    Bytes bytes;
    for (const std::int16_t s : samples) {
        AppendLE16(bytes, static_cast<std::uint16_t>(s));
    }
    return bytes;
}

Bytes SineWave16(std::uint32_t samplesPerSec, std::uint16_t channels, double seconds,
                 double frequency, double amplitude, double phaseRadians) {
    const auto frameCount = static_cast<std::size_t>(seconds * samplesPerSec);
    std::vector<std::int16_t> samples;
    samples.reserve(frameCount * channels);
    for (std::size_t i = 0; i < frameCount; ++i) {
        const double angle =
            2.0 * std::numbers::pi * frequency * static_cast<double>(i) / samplesPerSec +
            phaseRadians;
        const auto sample =
            static_cast<std::int16_t>(std::lround(32767.0 * amplitude * std::sin(angle)));
        samples.insert(samples.end(), channels, sample);
    }
    return WaveFileOf(channels, samplesPerSec, 16, Samples16(samples));
}

std::vector<std::int16_t> ToSamples16(const std::uint8_t* bytes, std::size_t byteCount) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i + 1 < byteCount; i += 2) {
        samples.push_back(static_cast<std::int16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    return samples;
}

void PrintTo(const ShownMessage& message, std::ostream* out) {
    *out << '"' << message.text << "\" path \"" << message.path << "\" error "
         << message.systemError;
}

MessageCapture::MessageCapture() {
    platform::SetMessageHandler([this](std::string_view text,
                                       const platform::MessageSubject& subject) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back({std::string(text), std::string(subject.path), subject.systemError});
    });
}

MessageCapture::~MessageCapture() {
    platform::SetMessageHandler({});
}

std::vector<std::string> MessageCapture::Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    for (const ShownMessage& message : m_messages) {
        texts.push_back(message.text);
    }
    return texts;
}

std::vector<ShownMessage> MessageCapture::Details() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void MessageCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

Bytes BlockOf(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        return {};
    }
    return Bytes(wave.m_pSamples.get(), wave.m_pSamples.get() + wave.m_sampleBytes);
}

void SetBlock(CWaveData& wave, const Bytes& bytes) {
    wave.m_pSamples = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), wave.m_pSamples.get());
    wave.m_sampleBytes = static_cast<std::uint32_t>(bytes.size());
}

Bytes RecordOf(const CWaveData& wave) {
    Bytes record;
    AppendLE16(record, wave.m_formatTag);
    AppendLE16(record, wave.m_channels);
    AppendLE32(record, wave.m_samplesPerSec);
    AppendLE32(record, wave.m_avgBytesPerSec);
    AppendLE16(record, wave.m_blockAlign);
    AppendLE16(record, wave.m_bitsPerSample);
    return record;
}

void SetRecord(CWaveData& wave, const Bytes& record) {
    const auto le16 = [&](std::size_t at) {
        return static_cast<std::uint16_t>(record.at(at) | record.at(at + 1) << 8);
    };
    const auto le32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(le16(at)) | static_cast<std::uint32_t>(le16(at + 2))
                                                          << 16;
    };
    wave.m_formatTag = le16(0);
    wave.m_channels = le16(2);
    wave.m_samplesPerSec = le32(4);
    wave.m_avgBytesPerSec = le32(8);
    wave.m_blockAlign = le16(12);
    wave.m_bitsPerSample = le16(14);
}

}  // namespace testsupport
