#include "wave/WaveReader.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "wave/ChunkNoticeLimit.h"
#include "wave/InputFile.h"
#include "wave/PcmLayout.h"
#include "wave/RiffLayout.h"
#include "wave/WaveData.h"

namespace {

using riff::LoadLE16;
using riff::LoadLE32;

constexpr std::uint32_t kLeadingIds[] = {MakeChunkId("bext"), MakeChunkId("minf"),
                                         MakeChunkId("elm1")};

// Chunks that may stand between the format chunk and the data chunk without a word to the user.
constexpr std::uint32_t kSkipIds[] = {
    MakeChunkId("PAD "), MakeChunkId("bext"), MakeChunkId("minf"), MakeChunkId("elm1"),
    MakeChunkId("vphd"), MakeChunkId("sav1"), MakeChunkId("pad "), MakeChunkId("elmo"),
    MakeChunkId("regn"), MakeChunkId("ovwf"), MakeChunkId("umid"),
};

constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// The sub-format GUIDs of linear PCM and of IEEE floats in a WAVE_FORMAT_EXTENSIBLE record, as
// stored in the file: the format tag in the first two bytes, then a fixed tail.
constexpr std::uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::uint32_t kExtensibleBytes = 40;
// cbSize of an extensible record: the valid bits, the channel mask and the GUID.
constexpr std::uint16_t kExtensionBytes = 22;
constexpr std::uint32_t kCbSizeOffset = 16;
constexpr std::uint32_t kValidBitsOffset = 18;
constexpr std::uint32_t kSubFormatOffset = 24;

bool Contains(const std::uint32_t* first, const std::uint32_t* last, std::uint32_t id) {
    return std::find(first, last, id) != last;
}

// A chunk of the file: its header at pos, its body from pos + 8.
struct ChunkHeader {
    std::uint32_t id = 0;
    std::uint32_t size = 0;
};

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

// Takes the format record at body into image's six format fields; false (after message 3) for
// a format that is refused.
bool TakeFormat(CWaveData& image, const std::uint8_t* body, std::uint32_t bodyBytes) {
    image.m_formatTag = LoadLE16(body);
    image.m_channels = LoadLE16(body + 2);
    image.m_samplesPerSec = LoadLE32(body + 4);
    image.m_avgBytesPerSec = LoadLE32(body + 8);
    image.m_blockAlign = LoadLE16(body + 12);
    image.m_bitsPerSample = LoadLE16(body + 14);

    // An extensible record whose sub-format is PCM or float holds the same samples as a record
    // with that tag; the writer's 16-byte record cannot carry the extension, so it is taken as
    // that tag. Its valid bits may be fewer than the container's for PCM (the samples stand in the
    // container's top bits, so they read right as they are); none, more, or fewer for a float, say
    // that the samples are not what the tag says.
    if (image.m_formatTag == kFormatExtensible && bodyBytes >= kExtensibleBytes &&
        LoadLE16(body + kCbSizeOffset) >= kExtensionBytes &&
        std::memcmp(body + kSubFormatOffset + 2, kSubFormatTail, sizeof kSubFormatTail) == 0) {
        const std::uint16_t subFormat = LoadLE16(body + kSubFormatOffset);
        const std::uint16_t validBits = LoadLE16(body + kValidBitsOffset);
        const bool validBitsFit = validBits == image.m_bitsPerSample ||
                                  (subFormat == samplekernels::kFormatPcm && validBits > 0 &&
                                   validBits < image.m_bitsPerSample);
        if ((subFormat == samplekernels::kFormatPcm || subFormat == samplekernels::kFormatFloat) &&
            validBitsFit) {
            image.m_formatTag = subFormat;
        }
    }
    // Anything else would be scaled as if it were 16-bit PCM and saved as noise. A frame size that
    // disagrees with the channels and the depth would be carried into every frame count and into
    // the header written out, and a byte rate past 32 bits would wrap there.
    const bool supported = samplekernels::EncodingOf(image.m_formatTag, image.m_bitsPerSample) &&
                           (image.m_channels == 1 || image.m_channels == 2) &&
                           image.m_samplesPerSec > 0 &&
                           FitsEveryForm(image.m_samplesPerSec, image.m_bitsPerSample) &&
                           HasConsistentLayout(image.m_channels, image.m_samplesPerSec,
                                               image.m_blockAlign, image.m_bitsPerSample);
    if (!supported) {
        CWaveData::ShowMessage(CWaveData::kMsgWrongFormat);
        return false;
    }
    // The stated byte rate is only a hint for players; the one that the layout gives is kept.
    image.m_avgBytesPerSec = ByteRateOf(image.m_samplesPerSec, image.m_blockAlign);
    return true;
}

}  // namespace

// Reads the chunks of a file in place: the first kHeadBytes are read once, and anything past them
// is read where it is needed, so that the samples can go straight to where they are wanted.
class CWaveReader::FileCursor {
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
    // Several threads may read at once.
    bool Read(std::uint64_t pos, std::uint8_t* out, std::size_t count) const {
        if (!Fits(pos, count)) {
            return false;
        }
        std::size_t done = 0;
        if (pos < m_headBytes) {
            done = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_headBytes - pos));
            std::memcpy(out, m_head + pos, done);
        }
        return ReadAt(pos + done, out + done, count - done) == count - done;
    }

    // Reads the chunk header at pos; false when it would reach past the end of the file.
    bool HeaderAt(std::uint64_t pos, ChunkHeader* header) const {
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
    std::uint64_t After(std::uint64_t pos, std::uint32_t size) const {
        std::uint64_t next = pos + 8 + size;
        std::uint8_t pad = 1;
        if ((size & 1) != 0 && next < m_fileBytes && Read(next, &pad, 1) && pad == 0) {
            ++next;
        }
        return next;
    }

  private:
    std::size_t ReadAt(std::uint64_t pos, std::uint8_t* out, std::size_t count) const {
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
    mutable std::atomic<bool> m_failed{false};
};

CWaveReader::CWaveReader(const char* path, CWaveData& image) {
    const OpenedInput input = OpenInputFile(path);
    if (input.problem != InputProblem::kNone) {
        CWaveData::ShowMessage(MessageForInput(input.problem), {path, input.systemError});
        return;
    }
    m_fd = input.fd;
    // The chunks are walked in the file itself; the samples are read later, where the caller
    // wants them.
    m_cursor = std::make_unique<FileCursor>(m_fd, input.bytes);
    if (const std::optional<std::uint64_t> dataOffset = WalkChunks(image)) {
        m_dataOffset = *dataOffset;
        m_dataBytes = image.m_dataSize;
    }
}

CWaveReader::~CWaveReader() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::optional<std::uint64_t> CWaveReader::WalkChunks(CWaveData& image) {
    constexpr std::uint32_t kMsgUnknownTag = CWaveData::kMsgUnknownTag;
    FileCursor& cursor = *m_cursor;
    // Every failure below that comes of an I/O error rather than of the file's contents is
    // reported as such.
    std::uint8_t header[12] = {};
    const bool hasRiff = cursor.Read(0, header, 8);
    if (cursor.Failed()) {
        CWaveData::ShowMessage(CWaveData::kMsgCannotOpen);
        return std::nullopt;
    }
    if (!hasRiff) {
        CWaveData::ReportTag(kMsgUnknownTag, "RIFF");
        return std::nullopt;
    }
    image.m_riffId = LoadLE32(header);
    image.m_riffSize = LoadLE32(header + 4);
    if (image.m_riffId != riff::kRiffId) {
        CWaveData::ReportTag(kMsgUnknownTag, "RIFF");
        return std::nullopt;
    }
    if (!cursor.Read(8, header + 8, 4)) {
        CWaveData::ReportTag(kMsgUnknownTag, "WAVE");
        return std::nullopt;
    }
    image.m_waveId = LoadLE32(header + 8);
    if (image.m_waveId != riff::kWaveId) {
        CWaveData::ReportTag(kMsgUnknownTag, "WAVE");
        return std::nullopt;
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
        CWaveData::ReportTag(kMsgUnknownTag, "fmt ");
        return std::nullopt;
    }
    image.m_fmtId = chunk.id;
    image.m_fmtSize = chunk.size;
    if (image.m_fmtId != riff::kFmtId || !cursor.Fits(pos + 8, 16)) {
        CWaveData::ReportTag(kMsgUnknownTag, "fmt ");
        return std::nullopt;
    }
    // TakeFormat looks at the first 16 bytes of the record (there whatever the size field says)
    // and at no more than its first 40.
    const std::uint64_t available = cursor.FileBytes() - (pos + 8);
    const auto bodyBytes =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(image.m_fmtSize, available));
    std::uint8_t body[kExtensibleBytes] = {};
    if (!cursor.Read(pos + 8, body,
                     static_cast<std::size_t>(std::min<std::uint64_t>(available, sizeof body)))) {
        CWaveData::ShowMessage(CWaveData::kMsgCannotOpen);
        return std::nullopt;
    }
    if (!TakeFormat(image, body, bodyBytes)) {
        return std::nullopt;
    }
    pos = cursor.After(pos, image.m_fmtSize);

    if (cursor.HeaderAt(pos, &chunk) && chunk.id == riff::kFactId) {
        if (chunk.size != 4) {
            CWaveData::ReportTag(kMsgUnknownTag, "fact");
            return std::nullopt;
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
        dataFound = chunk.id == riff::kDataId;
        if (!dataFound) {
            if (notices.ShouldReport(chunk.id)) {
                ReportChunkId(chunk.id);
            }
            pos = cursor.After(pos, chunk.size);
        }
    }
    if (notices.UnreportedCount() > 0) {
        CWaveData::ReportUnreportedTags(notices.UnreportedCount());
    }
    if (!dataFound) {
        // The file ends before a data chunk starts.
        CWaveData::ReportTag(kMsgUnknownTag, "data");
        return std::nullopt;
    }

    if (!cursor.Fits(pos + 8, chunk.size)) {
        // The data chunk claims more bytes than the file holds.
        CWaveData::ReportTag(kMsgUnknownTag, "data");
        return std::nullopt;
    }
    image.m_dataId = chunk.id;
    image.m_dataSize = chunk.size;
    return pos + 8;
}

CWaveReader::ReadResult CWaveReader::ReadDataQuietly(std::uint64_t offset,
                                                     std::span<std::uint8_t> out) const {
    if (!HasData() || offset > DataBytes() || out.size() > DataBytes() - offset) {
        return ReadResult::kMissing;
    }
    if (m_cursor->Read(m_dataOffset + offset, out.data(), out.size())) {
        return ReadResult::kRead;
    }
    return m_cursor->Failed() ? ReadResult::kFailed : ReadResult::kMissing;
}

void CWaveReader::Report(ReadResult result) {
    if (result == ReadResult::kFailed) {
        CWaveData::ShowMessage(CWaveData::kMsgCannotOpen);
    } else if (result == ReadResult::kMissing) {
        // The file has become shorter than its size said.
        CWaveData::ReportTag(CWaveData::kMsgUnknownTag, "data");
    }
}

bool CWaveReader::ReadData(std::uint64_t offset, std::span<std::uint8_t> out) const {
    const ReadResult result = ReadDataQuietly(offset, out);
    Report(result);
    return result == ReadResult::kRead;
}
