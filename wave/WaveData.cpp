#include "WaveData.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "platform/MessageBox.h"
#include "wave/ChunkNoticeLimit.h"
#include "wave/FileReplace.h"
#include "wave/InputFile.h"
#include "wave/PcmLayout.h"

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
// The largest sample block whose file size, with a pad byte after an odd block, still fits the
// 32-bit RIFF size fields.
constexpr std::uint32_t kMaxSampleBytes =
    std::numeric_limits<std::uint32_t>::max() - kHeaderBytes - 1;

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

// Blocks from this size on are backed by transparent huge pages where the system allows it: a
// fresh block's first touch then costs one fault per 2 MiB instead of one per 4 KiB.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

std::unique_ptr<std::uint8_t[]> AllocateBlock(std::size_t bytes) {
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[bytes]);
    if (block && bytes >= kHugePageAdviceBytes) {
        // Advice only: the whole pages inside the block, which the allocator mapped for it alone.
        const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        const auto first = (reinterpret_cast<std::uintptr_t>(block.get()) + page - 1) & ~(page - 1);
        const auto last = (reinterpret_cast<std::uintptr_t>(block.get()) + bytes) & ~(page - 1);
        if (last > first) {
            static_cast<void>(
                ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
        }
    }
    return block;
}

// Work on blocks from this size on is split between two threads when the machine has two CPUs or
// more: each CPU has its own path to memory, and one alone cannot use all of it.
constexpr std::size_t kSplitBytes = std::size_t{16} << 20;

// Runs work(first, last) over [0, count), count units of unitBytes each: for a large block in two
// halves, the first on a second thread; otherwise, or when no thread can be started, in one call.
template <typename Work>
void InTwoHalves(std::size_t count, std::size_t unitBytes, const Work& work) {
    static const bool twoCpus = std::thread::hardware_concurrency() >= 2;
    if (!twoCpus || count * unitBytes < kSplitBytes) {
        work(std::size_t{0}, count);
        return;
    }
    // The first half ends at a multiple of 4096 units.
    const std::size_t half = (count / 2) & ~std::size_t{4095};
    std::thread helper;
    try {
        helper = std::thread([&work, half] { work(std::size_t{0}, half); });
    } catch (const std::system_error&) {
        work(std::size_t{0}, count);
        return;
    }
    work(half, count);
    helper.join();
}

// A chunk of the file image: its header at pos, its body from pos + 8.
struct ChunkHeader {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
};

std::uint32_t MessageForOutput(ReplaceResult result) {
    switch (result) {
        case ReplaceResult::kIsFolder:
            return CWaveData::kMsgIsFolder;
        case ReplaceResult::kNotRegularFile:
            return CWaveData::kMsgNotRegularFile;
        case ReplaceResult::kCannotWrite:
            return CWaveData::kMsgCannotSave;
        case ReplaceResult::kDone:
        case ReplaceResult::kCannotOpen:
            break;
    }
    return CWaveData::kMsgCannotOpen;
}

std::uint32_t MessageForInput(InputProblem problem) {
    switch (problem) {
        case InputProblem::kNotFound:
            return CWaveData::kMsgFileNotFound;
        case InputProblem::kFolder:
            return CWaveData::kMsgIsFolder;
        case InputProblem::kNotRegularFile:
            return CWaveData::kMsgNotRegularFile;
        case InputProblem::kNone:
        case InputProblem::kCannotOpen:
            break;
    }
    return CWaveData::kMsgCannotOpen;
}

void ReportChunkId(std::uint32_t id) {
    char tag[5] = {};
    for (int i = 0; i < 4; ++i) {
        tag[i] = static_cast<char>(id >> (8 * i));
    }
    CWaveData::ReportTag(CWaveData::kMsgUnknownTag, tag);
}

// One sample scaled: the product in double, limited to the 16-bit range and truncated toward
// zero. Limiting before the truncation gives the same result as truncating first and then
// limiting, since both limits are whole numbers; a product out of range saturates instead of
// wrapping round to a full-scale spike of the other sign.
inline std::int16_t ScaleSample(std::int16_t s, double factor) {
    double product = s * factor;
    product = product < -32768.0 ? -32768.0 : product;
    product = product > 32767.0 ? 32767.0 : product;
    return static_cast<std::int16_t>(static_cast<int>(product));
}

// The samples of one 64-byte cache line, and how far ahead of the loop the next lines are
// fetched (with the intent to write: an in-place loop that loads lines only in the shared state
// pays for each one again when it stores to it).
constexpr std::size_t kLineSamples = 32;
constexpr std::size_t kPrefetchBytes = 4096;

// For |factor| < 65536 every product lies strictly inside the int range, so it can be truncated
// first and then limited as an integer, which the vectoriser turns into a saturating pack; the
// result is the same as ScaleSample's.
__attribute__((always_inline)) inline void ScaleInRangeLoop(std::uint8_t* samples,
                                                            std::size_t count, double factor) {
    std::size_t i = 0;
    while (i < count) {
        const std::size_t end = std::min(count, i + kLineSamples);
        if (2 * i + kPrefetchBytes < 2 * count) {
            __builtin_prefetch(samples + 2 * i + kPrefetchBytes, 1);
        }
        for (; i < end; ++i) {
            std::int16_t s;
            std::memcpy(&s, samples + 2 * i, 2);
            int scaled = static_cast<int>(s * factor);
            scaled = scaled < -32768 ? -32768 : scaled;
            scaled = scaled > 32767 ? 32767 : scaled;
            s = static_cast<std::int16_t>(scaled);
            std::memcpy(samples + 2 * i, &s, 2);
        }
    }
}

using ScaleFunction = void (*)(std::uint8_t* samples, std::size_t count, double factor);

void ScaleInRangeGeneric(std::uint8_t* samples, std::size_t count, double factor) {
    ScaleInRangeLoop(samples, count, factor);
}

#if defined(__x86_64__)

// Wider vectors where the processor has them, chosen at the first call (not through an ifunc,
// which the thread sanitizer cannot run); every version computes the same IEEE double products.
__attribute__((target("avx2"))) void ScaleInRangeAvx2(std::uint8_t* samples, std::size_t count,
                                                      double factor) {
    ScaleInRangeLoop(samples, count, factor);
}

__attribute__((target("avx512f"))) void ScaleInRangeAvx512(std::uint8_t* samples, std::size_t count,
                                                           double factor) {
    ScaleInRangeLoop(samples, count, factor);
}

ScaleFunction PickScaleInRange() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return ScaleInRangeAvx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return ScaleInRangeAvx2;
    }
    return ScaleInRangeGeneric;
}
#else
ScaleFunction PickScaleInRange() {
    return ScaleInRangeGeneric;
}
#endif

void ScaleInRange(std::uint8_t* samples, std::size_t count, double factor) {
    static const ScaleFunction scale = PickScaleInRange();
    scale(samples, count, factor);
}

void ScaleSamples(std::uint8_t* samples, std::size_t count, double factor) {
    if (std::fabs(factor) < 65536.0) {
        ScaleInRange(samples, count, factor);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, samples + 2 * i, 2);
        s = ScaleSample(s, factor);
        std::memcpy(samples + 2 * i, &s, 2);
    }
}

}  // namespace

// Reads the chunks of a file in place: the first kHeadBytes are read once, and anything past them
// is read where it is needed, so that the sample block can be read straight into its own block.
class CWaveData::FileCursor {
  public:
    static constexpr std::size_t kHeadBytes = 64 * 1024;

    FileCursor(int fd, std::uint64_t fileBytes) : m_fd(fd), m_fileBytes(fileBytes) {
        m_headBytes = ReadAt(0, m_head, std::min<std::uint64_t>(fileBytes, kHeadBytes));
    }

    // An I/O error has occurred (not a file shorter than its size said).
    bool Failed() const { return m_failed; }

    std::uint64_t FileBytes() const { return m_fileBytes; }

    bool Fits(std::uint64_t pos, std::uint64_t bytes) const {
        return pos <= m_fileBytes && bytes <= m_fileBytes - pos;
    }

    // Copies bytes [pos, pos + count) of the file to out; false when the file does not hold them.
    // The bytes past the head are read by two threads at once when they are many.
    bool Read(std::uint64_t pos, std::uint8_t* out, std::size_t count) {
        if (!Fits(pos, count)) {
            return false;
        }
        std::size_t done = 0;
        if (pos < m_headBytes) {
            done = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_headBytes - pos));
            std::memcpy(out, m_head + pos, done);
        }
        std::atomic<bool> complete{true};
        InTwoHalves(count - done, 1, [&](std::size_t first, std::size_t last) {
            if (ReadAt(pos + done + first, out + done + first, last - first) != last - first) {
                complete = false;
            }
        });
        return complete;
    }

    // Reads the chunk header at pos; false when it would reach past the end of the file.
    bool HeaderAt(std::uint64_t pos, ChunkHeader* header) {
        std::uint8_t bytes[8];
        if (!Read(pos, bytes, sizeof bytes)) {
            return false;
        }
        header->id = LoadLE32(bytes);
        header->size = LoadLE32(bytes + 4);
        return true;
    }

    // The position after the chunk at pos. After an odd-sized body the RIFF pad byte is passed
    // over too when it is there (a zero byte); a writer that left it out is read as written,
    // since no chunk id starts with a zero byte.
    std::uint64_t After(std::uint64_t pos, std::uint32_t size) {
        std::uint64_t next = pos + 8 + size;
        std::uint8_t pad = 1;
        if ((size & 1) != 0 && next < m_fileBytes && Read(next, &pad, 1) && pad == 0) {
            ++next;
        }
        return next;
    }

  private:
    std::size_t ReadAt(std::uint64_t pos, std::uint8_t* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n =
                ::pread(m_fd, out + done, count - done, static_cast<off_t>(pos + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                m_failed = true;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    int m_fd;
    std::uint64_t m_fileBytes;
    std::uint8_t m_head[kHeadBytes];
    std::size_t m_headBytes = 0;
    std::atomic<bool> m_failed{false};
};

CWaveData::CWaveData(const char* path) {
    const OpenedInput input = OpenInputFile(path);
    if (input.problem != InputProblem::kNone) {
        ShowMessage(MessageForInput(input.problem), {path, input.systemError});
        return;
    }
    // The chunks are walked in the file itself and the samples read straight into their block.
    const auto cursor = std::make_unique<FileCursor>(input.fd, input.bytes);
    ReadChunks(*cursor);
    ::close(input.fd);
}

void CWaveData::ReadChunks(FileCursor& cursor) {
    // Every failure below that comes of an I/O error rather than of the file's contents is
    // reported as such.
    std::uint8_t image[12] = {};
    const bool hasRiff = cursor.Read(0, image, 8);
    if (cursor.Failed()) {
        ShowMessage(kMsgCannotOpen);
        return;
    }
    if (!hasRiff) {
        ReportTag(kMsgUnknownTag, "RIFF");
        return;
    }
    m_riffId = LoadLE32(image);
    m_riffSize = LoadLE32(image + 4);
    if (m_riffId != kRiffId) {
        ReportTag(kMsgUnknownTag, "RIFF");
        return;
    }
    if (!cursor.Read(8, image + 8, 4)) {
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
    // TakeFormat looks at the first 16 bytes of the record (there whatever the size field says)
    // and at no more than its first 40.
    const std::uint64_t available = cursor.FileBytes() - (pos + 8);
    const auto bodyBytes =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(m_fmtSize, available));
    std::uint8_t body[kExtensibleBytes] = {};
    if (!cursor.Read(pos + 8, body,
                     static_cast<std::size_t>(std::min<std::uint64_t>(available, sizeof body)))) {
        ShowMessage(kMsgCannotOpen);
        return;
    }
    if (!TakeFormat(body, bodyBytes)) {
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

    CChunkNoticeLimit notices;
    bool dataFound = false;
    while (!dataFound && cursor.HeaderAt(pos, &chunk)) {
        dataFound = chunk.id == kDataId;
        if (!dataFound) {
            if (notices.ShouldReport(chunk.id)) {
                ReportChunkId(chunk.id);
            }
            pos = cursor.After(pos, chunk.size);
        }
    }
    if (notices.UnreportedCount() > 0) {
        ReportUnreportedTags(notices.UnreportedCount());
    }
    if (!dataFound) {
        // The file ends before a data chunk starts.
        ReportTag(kMsgUnknownTag, "data");
        return;
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
    if (!cursor.Read(pos + 8, block.get(), chunk.size)) {
        if (cursor.Failed()) {
            ShowMessage(kMsgCannotOpen);
        } else {
            // The file has become shorter than its size said.
            ReportTag(kMsgUnknownTag, "data");
        }
        return;
    }
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
    // Anything else would be scaled as if it were 16-bit PCM and saved as noise. A frame size that
    // disagrees with the channels and the depth would be carried into every frame count and into
    // the header written out, and a byte rate past 32 bits would wrap there.
    const bool supported =
        m_formatTag == kFormatPcm && (m_bitsPerSample == 8 || m_bitsPerSample == 16) &&
        (m_channels == 1 || m_channels == 2) && m_samplesPerSec > 0 &&
        m_samplesPerSec <= kMaxSamplesPerSec &&
        HasConsistentLayout(m_channels, m_samplesPerSec, m_blockAlign, m_bitsPerSample);
    if (!supported) {
        ShowMessage(kMsgWrongFormat);
        return false;
    }
    // The stated byte rate is only a hint for players; the one that the layout gives is kept.
    m_avgBytesPerSec = ByteRateOf(m_samplesPerSec, m_blockAlign);
    return true;
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

void CWaveData::ShowMessage(std::uint32_t code, const platform::MessageSubject& subject) {
    static constexpr const char* kTexts[] = {
        "ファイルが見つかりませんでした。",
        "不明なタグが検出されました。",
        "ファイルが開けませんでした。",
        "フォーマットが違う音声ファイルを処理しようとしました。",
        "ビット数を変更しました。",
        "ファイルを保存できませんでした。",
        "ファイルが大きすぎるか、メモリが足りないため、処理できませんでした。",
        "フォルダーのため、開けませんでした。",
        "通常のファイルではないため、開けませんでした。",
    };
    platform::ShowMessageBox(code < std::size(kTexts) ? kTexts[code] : "", subject);
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

void CWaveData::ReportUnreportedTags(std::uint64_t chunkCount) {
    char text[1024] = {};
    std::snprintf(text, sizeof text, "%s [ほか %llu 個]",
                  "不明なタグが検出されました。処理は継続可能です。",
                  static_cast<unsigned long long>(chunkCount));
    platform::ShowMessageBox(text);
}

platform::WAVEFORMATEX CWaveData::FormatRecord() const {
    platform::WAVEFORMATEX format;
    format.wFormatTag = m_formatTag;
    format.nChannels = m_channels;
    format.nSamplesPerSec = m_samplesPerSec;
    format.nAvgBytesPerSec = m_avgBytesPerSec;
    format.nBlockAlign = m_blockAlign;
    format.wBitsPerSample = m_bitsPerSample;
    format.cbSize = 0;
    return format;
}

std::uint32_t CWaveData::WrittenSampleBytes() const {
    const std::uint32_t sampleBytes = BytesPerSample(m_bitsPerSample);
    return sampleBytes == 0 ? m_sampleBytes : m_sampleBytes - m_sampleBytes % sampleBytes;
}

std::uint32_t CWaveData::GetWriteSize() const {
    // RIFF pads an odd-sized chunk with one byte.
    const std::uint32_t dataBytes = WrittenSampleBytes();
    return kHeaderBytes + dataBytes + (dataBytes & 1);
}

void CWaveData::StoreLE32(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value);
    destination[1] = static_cast<std::uint8_t>(value >> 8);
    destination[2] = static_cast<std::uint8_t>(value >> 16);
    destination[3] = static_cast<std::uint8_t>(value >> 24);
}

void CWaveData::BuildFileImage(std::uint8_t* buffer, std::uint32_t size) const {
    BuildHeader(buffer, size);
    const std::uint32_t dataBytes = WrittenSampleBytes();
    if (dataBytes > 0) {
        std::memcpy(buffer + kHeaderBytes, m_pSamples.get(), dataBytes);
    }
    if ((dataBytes & 1) != 0) {
        buffer[kHeaderBytes + dataBytes] = 0;
    }
}

void CWaveData::BuildHeader(std::uint8_t* buffer, std::uint32_t size) const {
    StoreLE32(buffer, kRiffId);
    StoreLE32(buffer + 4, size - 8);
    StoreLE32(buffer + 8, kWaveId);
    StoreLE32(buffer + 12, kFmtId);
    StoreLE32(buffer + 16, 16);
    StoreLE16(buffer + 20, m_formatTag);
    StoreLE16(buffer + 22, m_channels);
    StoreLE32(buffer + 24, m_samplesPerSec);
    StoreLE32(buffer + 28, ByteRateOf(m_samplesPerSec, m_blockAlign));
    StoreLE16(buffer + 32, m_blockAlign);
    StoreLE16(buffer + 34, m_bitsPerSample);
    StoreLE32(buffer + 36, kDataId);
    StoreLE32(buffer + 40, WrittenSampleBytes());
}

bool CWaveData::Write(const char* path) const {
    if (!HasConsistentLayout(m_channels, m_samplesPerSec, m_blockAlign, m_bitsPerSample)) {
        ShowMessage(kMsgWrongFormat, {path, 0});
        return false;
    }
    // The header and the sample block go out in one gathered write; no file-sized copy is made.
    std::uint8_t header[kHeaderBytes];
    const std::uint32_t dataBytes = WrittenSampleBytes();
    BuildHeader(header, GetWriteSize());
    static constexpr std::uint8_t kPad[1] = {0};
    const ReplaceStatus status = ReplaceFileContents(
        path, {{header, kHeaderBytes}, {m_pSamples.get(), dataBytes}, {kPad, dataBytes & 1}});
    if (status.result != ReplaceResult::kDone) {
        ShowMessage(MessageForOutput(status.result), {path, status.systemError});
        return false;
    }
    return true;
}

double CWaveData::GetPeak() const {
    const std::uint8_t* samples = m_pSamples.get();
    if (samples == nullptr) {
        return 0.0;
    }
    // The extremes are kept in the samples' own width, so that the loop compares whole vectors of
    // them at once (8 or 16 lanes in 16 bytes).
    if (m_bitsPerSample == 16) {
        std::int16_t lowest[2] = {};
        std::int16_t highest[2] = {};
        InTwoHalves(m_sampleBytes / 2, 2, [&](std::size_t first, std::size_t last) {
            const int half = first == 0 ? 0 : 1;
            std::int16_t low = 0;
            std::int16_t high = 0;
            for (std::size_t i = first; i < last; ++i) {
                std::int16_t s;
                std::memcpy(&s, samples + 2 * i, 2);
                low = std::min(low, s);
                high = std::max(high, s);
            }
            lowest[half] = low;
            highest[half] = high;
        });
        return std::max<int>(std::max(highest[0], highest[1]), -std::min(lowest[0], lowest[1])) *
               3.0517578125e-05;
    }
    std::uint8_t lowest = 128;
    std::uint8_t highest = 128;
    for (std::size_t i = 0; i < m_sampleBytes; ++i) {
        lowest = std::min(lowest, samples[i]);
        highest = std::max(highest, samples[i]);
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
    InTwoHalves(m_sampleBytes / 2, 2, [samples, factor](std::size_t first, std::size_t last) {
        ScaleSamples(samples + 2 * first, last - first, factor);
    });
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
