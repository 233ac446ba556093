// Helpers shared by the tests: temporary folders, RIFF files built byte by byte, and a message
// handler that records what the user would have been shown.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class CWaveData;

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(std::string_view name) const { return m_path + "/" + std::string(name); }

  private:
    std::string m_path;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

// The 16-byte PCM format record.
Bytes FormatRecord(std::uint16_t formatTag, std::uint16_t channels, std::uint32_t samplesPerSec,
                   std::uint16_t bitsPerSample);

// A WAVE_FORMAT_EXTENSIBLE record: validBits and the sub-format GUID of subFormatTag after the
// 16 bytes of FormatRecord.
Bytes ExtensibleRecord(std::uint16_t channels, std::uint32_t samplesPerSec,
                       std::uint16_t bitsPerSample, std::uint16_t validBits,
                       std::uint16_t subFormatTag);

// bytes with byteCount little-endian bytes of value written at offset.
Bytes Patched(Bytes bytes, std::size_t offset, std::uint32_t value, std::size_t byteCount);

// Builds a RIFF/WAVE file chunk by chunk: "RIFF", a size, "WAVE", then the chunks as added.
// Chunks are written exactly as given: no pad byte is added after an odd-sized body unless
// asked for.
class RiffBuilder {
  public:
    RiffBuilder& Chunk(std::string_view id, const Bytes& body, bool padOddBody = false);
    // A chunk header whose size field disagrees with the body that follows.
    RiffBuilder& ChunkWithSize(std::string_view id, std::uint32_t sizeField, const Bytes& body);
    // The file; the RIFF size field is the length after offset 8.
    Bytes Build() const;

  private:
    Bytes m_body;
};

// A file of the format chunk and the data chunk, each exactly as given.
Bytes WaveFileOf(std::uint16_t channels, std::uint32_t samplesPerSec, std::uint16_t bitsPerSample,
                 const Bytes& data, std::uint16_t formatTag = 1);

// Samples as little-endian 16-bit bytes.
Bytes Samples16(const std::vector<std::int16_t>& samples);
std::vector<std::int16_t> ToSamples16(const std::uint8_t* bytes, std::size_t byteCount);

// A 16-bit PCM wave file of a sine of the same phase on every channel, amplitude a fraction of
// full scale (1 is 32767), rounded to the nearest sample.
Bytes SineWave16(std::uint32_t samplesPerSec, std::uint16_t channels, double seconds,
                 double frequency, double amplitude, double phaseRadians = 0.0);

// One message as the user would have been shown it: its text, the path of the file it names (empty
// when none) and the system's reason (0 when none).
struct ShownMessage {
    std::string text;
    std::string path;
    int systemError = 0;
    bool operator==(const ShownMessage&) const = default;
};
void PrintTo(const ShownMessage& message, std::ostream* out);

// While alive, every message shown through the platform's message box is recorded here instead
// of reaching standard error.
class MessageCapture {
  public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    // The texts alone.
    std::vector<std::string> Messages() const;
    std::vector<ShownMessage> Details() const;
    void Clear();

  private:
    mutable std::mutex m_mutex;
    std::vector<ShownMessage> m_messages;
};

// The image's sample block; empty when it holds none.
Bytes BlockOf(const CWaveData& wave);
// Gives the image a sample block holding bytes.
void SetBlock(CWaveData& wave, const Bytes& bytes);
// The image's six format fields as the 16-byte PCM record, and the other way round.
Bytes RecordOf(const CWaveData& wave);
void SetRecord(CWaveData& wave, const Bytes& record);

}  // namespace testsupport
