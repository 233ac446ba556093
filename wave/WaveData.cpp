#include "WaveData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "platform/MessageBox.h"
#include "wave/FileReplace.h"

// Sample blocks are accessed as little-endian 16-bit values through memcpy.
static_assert(std::endian::native == std::endian::little, "a little-endian host is assumed");

namespace {

constexpr std::uint32_t kRiffId = MakeChunkId("RIFF");
constexpr std::uint32_t kWaveId = MakeChunkId("WAVE");
constexpr std::uint32_t kFmtId = MakeChunkId("fmt ");
constexpr std::uint32_t kFactId = MakeChunkId("fact");
constexpr std::uint32_t kDataId = MakeChunkId("data");

constexpr std::uint32_t kLeadingIds[] = {MakeChunkId("bext"), MakeChunkId("minf"),
                                         MakeChunkId("elm1")};

// Chunks that may stand between the format chunk and the data chunk without a word to the user.
constexpr std::uint32_t kSkipIds[] = {
    MakeChunkId("PAD "), MakeChunkId("bext"), MakeChunkId("minf"), MakeChunkId("elm1"),
    MakeChunkId("vphd"), MakeChunkId("sav1"), MakeChunkId("pad "), MakeChunkId("elmo"),
    MakeChunkId("regn"), MakeChunkId("ovwf"), MakeChunkId("umid"),
};

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// The sub-format GUID of linear PCM in a WAVE_FORMAT_EXTENSIBLE record, as stored in the file.
constexpr std::uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::uint32_t kExtensibleBytes = 40;
constexpr std::uint32_t kSubFormatOffset = 24;

constexpr std::uint32_t kHeaderBytes = 44;
// The largest sample block whose file size still fits the 32-bit RIFF size fields.
constexpr std::uint32_t kMaxSampleBytes = std::numeric_limits<std::uint32_t>::max() - kHeaderBytes;

std::uint16_t LoadLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t LoadLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void StoreLE16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

bool Contains(const std::uint32_t* first, const std::uint32_t* last, std::uint32_t id) {
    return std::find(first, last, id) != last;
}

std::unique_ptr<std::uint8_t[]> AllocateBlock(std::size_t bytes) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes]);
}

// A chunk of the file image: its header at pos, its body from pos + 8.
struct ChunkHeader {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
};

class ImageCursor {
  public:
    ImageCursor(const std::uint8_t* image, std::size_t imageBytes)
        : m_image(image), m_imageBytes(imageBytes) {}

    bool Fits(std::uint64_t pos, std::uint64_t bytes) const {
        return pos <= m_imageBytes && bytes <= m_imageBytes - pos;
    }

    // Reads the chunk header at pos; false when it would reach past the end of the image.
    bool HeaderAt(std::uint64_t pos, ChunkHeader* header) const {
        if (!Fits(pos, 8)) {
            return false;
        }
        header->id = LoadLE32(m_image + pos);
        header->size = LoadLE32(m_image + pos + 4);
        return true;
    }

    // The position after the chunk at pos. After an odd-sized body the RIFF pad byte is passed
    // over too when it is there (a zero byte); a writer that left it out is read as written,
    // since no chunk id starts with a zero byte.
    std::uint64_t After(std::uint64_t pos, std::uint32_t size) const {
        std::uint64_t next = pos + 8 + size;
        if ((size & 1) != 0 && next < m_imageBytes && m_image[next] == 0) {
            ++next;
        }
        return next;
    }

    const std::uint8_t* At(std::uint64_t pos) const { return m_image + pos; }

  private:
    const std::uint8_t* m_image;
    std::size_t m_imageBytes;
};

void ReportChunkId(std::uint32_t id) {
    char tag[5] = {};
    for (int i = 0; i < 4; ++i) {
        tag[i] = static_cast<char>(id >> (8 * i));
    }
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, tag);
}

}  // namespace

CWaveData::CWaveData(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ShowMessage(kMsgFileNotFound);
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        ShowMessage(kMsgFileNotFound);
        return;
    }
    const auto fileBytes = static_cast<std::uint64_t>(status.st_size);
    std::unique_ptr<std::uint8_t[]> image;
    if (fileBytes <= std::numeric_limits<std::size_t>::max()) {
        image = AllocateBlock(static_cast<std::size_t>(fileBytes));
    }
    if (!image) {
        ::close(fd);
        ShowMessage(kMsgOutOfMemory);
        return;
    }
    // One read takes the whole file; the loop only resumes a read that the system cut short.
    std::size_t readBytes = 0;
    bool readFailed = false;
    while (readBytes < fileBytes) {
        const ssize_t n = ::read(fd, image.get() + readBytes, fileBytes - readBytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readFailed = true;
        }
        if (n <= 0) {
            break;
        }
        readBytes += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (readFailed) {
        ShowMessage(kMsgCannotOpen);
        return;
    }
    ReadImage(image.get(), readBytes);
}

void CWaveData::ReadImage(const std::uint8_t* image, std::size_t imageBytes) {
    const ImageCursor cursor(image, imageBytes);
    if (!cursor.Fits(0, 8)) {
        ReportTag(kMsgUnknownTag, "RIFF");
        return;
    }
    m_riffId = LoadLE32(image);
    m_riffSize = LoadLE32(image + 4);
    if (m_riffId != kRiffId) {
        ReportTag(kMsgUnknownTag, "RIFF");
        return;
    }
    if (!cursor.Fits(8, 4)) {
        ReportTag(kMsgUnknownTag, "WAVE");
        return;
    }
    m_waveId = LoadLE32(image + 8);
    if (m_waveId != kWaveId) {
        ReportTag(kMsgUnknownTag, "WAVE");
        return;
    }

    std::uint64_t pos = 12;
    ChunkHeader chunk;
    if (cursor.HeaderAt(pos, &chunk) && chunk.id == MakeChunkId("PAD ")) {
        pos = cursor.After(pos, chunk.size);
    }
    for (const std::uint32_t leadingId : kLeadingIds) {
        if (cursor.HeaderAt(pos, &chunk) && chunk.id == leadingId) {
            pos = cursor.After(pos, chunk.size);
        }
    }

    if (!cursor.HeaderAt(pos, &chunk)) {
        ReportTag(kMsgUnknownTag, "fmt ");
        return;
    }
    m_fmtId = chunk.id;
    m_fmtSize = chunk.size;
    if (m_fmtId != kFmtId || !cursor.Fits(pos + 8, 16)) {
        ReportTag(kMsgUnknownTag, "fmt ");
        return;
    }
    const std::uint64_t available = imageBytes - (pos + 8);
    if (!TakeFormat(cursor.At(pos + 8),
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(m_fmtSize, available)))) {
        return;
    }
    pos = cursor.After(pos, m_fmtSize);

    if (cursor.HeaderAt(pos, &chunk) && chunk.id == kFactId) {
        if (chunk.size != 4) {
            ReportTag(kMsgUnknownTag, "fact");
            return;
        }
        pos += 12;
    }

    while (cursor.HeaderAt(pos, &chunk) &&
           Contains(std::begin(kSkipIds), std::end(kSkipIds), chunk.id)) {
        pos = cursor.After(pos, chunk.size);
    }

    for (;;) {
        if (!cursor.HeaderAt(pos, &chunk)) {
            // The file ends before a data chunk starts.
            ReportTag(kMsgUnknownTag, "data");
            return;
        }
        if (chunk.id == kDataId) {
            break;
        }
        ReportChunkId(chunk.id);
        pos = cursor.After(pos, chunk.size);
    }

    if (!cursor.Fits(pos + 8, chunk.size)) {
        // The data chunk claims more bytes than the file holds.
        ReportTag(kMsgUnknownTag, "data");
        return;
    }
    m_dataId = chunk.id;
    m_dataSize = chunk.size;
    std::unique_ptr<std::uint8_t[]> block;
    if (chunk.size <= kMaxSampleBytes) {
        block = AllocateBlock(chunk.size);
    }
    if (!block) {
        ShowMessage(kMsgOutOfMemory);
        return;
    }
    std::memcpy(block.get(), cursor.At(pos + 8), chunk.size);
    TakeBlock(std::move(block), chunk.size);
}

bool CWaveData::TakeFormat(const std::uint8_t* body, std::uint32_t bodyBytes) {
    m_formatTag = LoadLE16(body);
    m_channels = LoadLE16(body + 2);
    m_samplesPerSec = LoadLE32(body + 4);
    m_avgBytesPerSec = LoadLE32(body + 8);
    m_blockAlign = LoadLE16(body + 12);
    m_bitsPerSample = LoadLE16(body + 14);

    // An extensible record whose sub-format is plain PCM holds the same samples as a tag-1 record;
    // the writer's 16-byte record cannot carry the extension, so it is taken as tag 1.
    if (m_formatTag == kFormatExtensible && bodyBytes >= kExtensibleBytes &&
        std::memcmp(body + kSubFormatOffset, kPcmSubFormat, sizeof kPcmSubFormat) == 0) {
        m_formatTag = kFormatPcm;
    }
    // Anything else would be scaled as if it were 16-bit PCM and saved as noise.
    const bool supported = m_formatTag == kFormatPcm &&
                           (m_bitsPerSample == 8 || m_bitsPerSample == 16) &&
                           (m_channels == 1 || m_channels == 2) && m_samplesPerSec > 0;
    if (!supported) {
        ShowMessage(kMsgWrongFormat);
    }
    return supported;
}

CWaveData::CWaveData(const CWaveData& source)
    : m_formatTag(source.m_formatTag),
      m_channels(source.m_channels),
      m_samplesPerSec(source.m_samplesPerSec),
      m_avgBytesPerSec(source.m_avgBytesPerSec),
      m_blockAlign(source.m_blockAlign),
      m_bitsPerSample(source.m_bitsPerSample) {
    if (!source.HasSamples()) {
        return;
    }
    std::unique_ptr<std::uint8_t[]> block = AllocateBlock(source.m_sampleBytes);
    if (!block) {
        ShowMessage(kMsgOutOfMemory);
        return;
    }
    std::memcpy(block.get(), source.m_pSamples.get(), source.m_sampleBytes);
    TakeBlock(std::move(block), source.m_sampleBytes);
}

void CWaveData::ShowMessage(std::uint32_t code) {
    static constexpr const char* kTexts[] = {
        "ファイルが見つかりませんでした。",
        "不明なタグが検出されました。",
        "ファイルが開けませんでした。",
        "フォーマットが違う音声ファイルを処理しようとしました。",
        "ビット数を変更しました。",
        "ファイルを保存できませんでした。",
        "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。",
    };
    platform::ShowMessageBox(code < std::size(kTexts) ? kTexts[code] : "");
}

void CWaveData::ReportTag(std::uint32_t code, const char* tag) {
    // Chunk ids are printable ASCII in any sound file; other bytes come from damaged or hostile
    // files and must not reach a terminal or a message box as control characters.
    char printableTag[5] = {};
    for (int i = 0; i < 4 && tag[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(tag[i]);
        printableTag[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    const char* notice =
        code == kMsgUnknownTag ? "不明なタグが検出されました。処理は継続可能です。" : "";
    char text[1024] = {};
    std::snprintf(text, sizeof text, "%s [%s]", notice, printableTag);
    platform::ShowMessageBox(text);
}

std::uint32_t CWaveData::GetWriteSize() const {
    return m_sampleBytes + kHeaderBytes;
}

void CWaveData::StoreLE32(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value);
    destination[1] = static_cast<std::uint8_t>(value >> 8);
    destination[2] = static_cast<std::uint8_t>(value >> 16);
    destination[3] = static_cast<std::uint8_t>(value >> 24);
}

void CWaveData::BuildFileImage(std::uint8_t* buffer, std::uint32_t size) const {
    StoreLE32(buffer, kRiffId);
    StoreLE32(buffer + 4, size - 8);
    StoreLE32(buffer + 8, kWaveId);
    StoreLE32(buffer + 12, kFmtId);
    StoreLE32(buffer + 16, 16);
    StoreLE16(buffer + 20, m_formatTag);
    StoreLE16(buffer + 22, m_channels);
    StoreLE32(buffer + 24, m_samplesPerSec);
    StoreLE32(buffer + 28, m_avgBytesPerSec);
    StoreLE16(buffer + 32, m_blockAlign);
    StoreLE16(buffer + 34, m_bitsPerSample);
    StoreLE32(buffer + 36, kDataId);
    StoreLE32(buffer + 40, m_sampleBytes);
    if (m_sampleBytes > 0) {
        std::memcpy(buffer + kHeaderBytes, m_pSamples.get(), m_sampleBytes);
    }
}

bool CWaveData::Write(const char* path) const {
    const std::uint32_t size = GetWriteSize();
    std::unique_ptr<std::uint8_t[]> block = AllocateBlock(size);
    if (!block) {
        ShowMessage(kMsgOutOfMemory);
        return false;
    }
    BuildFileImage(block.get(), size);
    switch (ReplaceFileContents(path, block.get(), size)) {
        case ReplaceResult::kDone:
            return true;
        case ReplaceResult::kCannotOpen:
            ShowMessage(kMsgCannotOpen);
            return false;
        case ReplaceResult::kCannotWrite:
            ShowMessage(kMsgCannotSave);
            return false;
    }
    return false;
}

double CWaveData::GetPeak() const {
    const std::uint8_t* samples = m_pSamples.get();
    if (samples == nullptr) {
        return 0.0;
    }
    if (m_bitsPerSample == 16) {
        const std::size_t count = m_sampleBytes / 2;
        int lowest = 0;
        int highest = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::int16_t s;
            std::memcpy(&s, samples + 2 * i, 2);
            lowest = std::min<int>(lowest, s);
            highest = std::max<int>(highest, s);
        }
        return std::max(highest, -lowest) * 3.0517578125e-05;
    }
    int lowest = 128;
    int highest = 128;
    for (std::size_t i = 0; i < m_sampleBytes; ++i) {
        lowest = std::min<int>(lowest, samples[i]);
        highest = std::max<int>(highest, samples[i]);
    }
    return std::max(highest - 128, 128 - lowest) * 0.0078125;
}

void CWaveData::ApplyGain(double factor) {
    if (m_bitsPerSample != 16) {
        ConvertBits(16);
        if (!HasSamples()) {
            return;
        }
        ShowMessage(kMsgBitsChanged);
    }
    if (!HasSamples() || m_sampleBytes < 2) {
        return;
    }
    std::uint8_t* samples = m_pSamples.get();
    const std::size_t count = m_sampleBytes / 2;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, samples + 2 * i, 2);
        // Limiting before the truncation gives the same result as truncating first and then
        // limiting, since both limits are whole numbers; a product out of range saturates
        // instead of wrapping round to a full-scale spike of the other sign.
        double product = s * factor;
        product = product < -32768.0 ? -32768.0 : product;
        product = product > 32767.0 ? 32767.0 : product;
        s = static_cast<std::int16_t>(static_cast<int>(product));
        std::memcpy(samples + 2 * i, &s, 2);
    }
}

void CWaveData::ConvertBits(int targetBits) {
    if (m_bitsPerSample == 8 && targetBits == 16) {
        Convert8To16();
    } else if (m_bitsPerSample == 16 && targetBits == 8) {
        Convert16To8();
    }
}

void CWaveData::Convert8To16() {
    if (!HasSamples()) {
        return;
    }
    const std::uint32_t newBytes = m_sampleBytes * 2;
    std::unique_ptr<std::uint8_t[]> block = NewBlock(std::uint64_t{m_sampleBytes} * 2);
    if (!block) {
        return;
    }
    const std::uint8_t* source = m_pSamples.get();
    std::uint8_t* target = block.get();
    for (std::size_t i = 0; i < m_sampleBytes; ++i) {
        const auto s = static_cast<std::int16_t>((source[i] - 128) * 256);
        std::memcpy(target + 2 * i, &s, 2);
    }
    TakeBlock(std::move(block), newBytes);
    m_bitsPerSample = 16;
    m_avgBytesPerSec *= 2;
    m_blockAlign = static_cast<std::uint16_t>(m_blockAlign * 2);
}

void CWaveData::Convert16To8() {
    if (!HasSamples()) {
        return;
    }
    const std::uint32_t newBytes = m_sampleBytes / 2;
    std::unique_ptr<std::uint8_t[]> block = NewBlock(newBytes);
    if (!block) {
        return;
    }
    const std::uint8_t* source = m_pSamples.get();
    std::uint8_t* target = block.get();
    for (std::size_t i = 0; i < newBytes; ++i) {
        // The high byte of the little-endian sample, moved from signed to unsigned.
        target[i] = static_cast<std::uint8_t>(source[2 * i + 1] + 128);
    }
    TakeBlock(std::move(block), newBytes);
    m_bitsPerSample = 8;
    m_avgBytesPerSec /= 2;
    m_blockAlign = static_cast<std::uint16_t>(m_blockAlign / 2);
}

void CWaveData::MonoToStereo() {
    if (m_channels != 1 || !HasSamples()) {
        return;
    }
    const std::uint32_t newBytes = m_sampleBytes * 2;
    std::unique_ptr<std::uint8_t[]> block = NewBlock(std::uint64_t{m_sampleBytes} * 2);
    if (!block) {
        return;
    }
    const std::uint8_t* source = m_pSamples.get();
    std::uint8_t* target = block.get();
    if (m_bitsPerSample == 8) {
        for (std::size_t i = 0; i < m_sampleBytes; ++i) {
            target[2 * i] = source[i];
            target[2 * i + 1] = source[i];
        }
    } else {
        const std::size_t count = m_sampleBytes / 2;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(target + 4 * i, source + 2 * i, 2);
            std::memcpy(target + 4 * i + 2, source + 2 * i, 2);
        }
        // A trailing odd byte belongs to no sample; its place in the stereo block is silence.
        if ((m_sampleBytes & 1) != 0) {
            target[newBytes - 2] = 0;
            target[newBytes - 1] = 0;
        }
    }
    TakeBlock(std::move(block), newBytes);
    m_channels = 2;
    m_avgBytesPerSec *= 2;
    m_blockAlign = static_cast<std::uint16_t>(m_blockAlign * 2);
}

void CWaveData::TakeBlock(std::unique_ptr<std::uint8_t[]> block, std::uint32_t bytes) {
    m_pSamples = std::move(block);
    m_sampleBytes = bytes;
}

std::unique_ptr<std::uint8_t[]> CWaveData::NewBlock(std::uint64_t bytes) {
    std::unique_ptr<std::uint8_t[]> block;
    if (bytes <= kMaxSampleBytes) {
        block = AllocateBlock(static_cast<std::size_t>(bytes));
    }
    if (!block) {
        m_pSamples.reset();
        m_sampleBytes = 0;
        ShowMessage(kMsgOutOfMemory);
    }
    return block;
}

int ProposePercent(double peak) {
    if (peak <= 0.0) {
        return 0;
    }
    const double percent = 1.0 / peak * 100.0;
    return percent >= 1000.0 ? 1000 : static_cast<int>(percent);
}
