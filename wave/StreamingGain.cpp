#include "wave/StreamingGain.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <semaphore>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "wave/FileReplace.h"
#include "wave/RiffLayout.h"
#include "wave/SampleKernels.h"
#include "wave/WaveData.h"
#include "wave/WaveReader.h"
#include "wave/WaveWriter.h"

static_assert(kPieceBytes % kLineBytes == 0, "pieces must keep the cache-line alignment");

namespace {

// A buffer for pieces of bytes long at most, where pieces of a file that start at fileOffset
// plus a multiple of kPieceBytes lie in memory as in the file (see AlignedLike).
class CPieceBuffer {
  public:
    CPieceBuffer(std::size_t bytes, std::uint64_t fileOffset)
        : m_block(new (std::nothrow) std::uint8_t[bytes + kLineBytes]),
          m_piece(m_block ? AlignedLike(m_block.get(), fileOffset) : nullptr) {}

    // False when the memory could not be had.
    bool Usable() const { return m_piece != nullptr; }
    std::span<std::uint8_t> First(std::size_t bytes) const { return {m_piece, bytes}; }

  private:
    std::unique_ptr<std::uint8_t[]> m_block;
    std::uint8_t* m_piece;
};

bool ReportOutOfMemory() {
    CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
    return false;
}

// The file at path, its header taken by the reader; its data is read piece by piece.
class CPieceSource {
  public:
    explicit CPieceSource(const char* path) : m_reader(path, m_header) {}

    // Whether the reading constructor would have given samples. Only a block too large for a
    // wave file is refused here beyond what the reader refuses, with the reading constructor's
    // message.
    bool Ready() {
        if (!m_reader.HasData()) {
            return false;
        }
        if (!riff::FitsSampleBlock(m_reader.DataBytes())) {
            return ReportOutOfMemory();
        }
        m_buffer.emplace(BufferBytes(), m_reader.DataOffset());
        return m_buffer->Usable() || ReportOutOfMemory();
    }

    const CWaveData& Header() const { return m_header; }
    std::uint32_t DataBytes() const { return m_reader.DataBytes(); }

    // Reads the piece at offset, a multiple of kPieceBytes, into the piece buffer; nothing after
    // a report.
    std::optional<std::span<std::uint8_t>> ReadPiece(std::uint64_t offset) {
        const std::span<std::uint8_t> piece = m_buffer->First(PieceBytes(offset));
        if (!m_reader.ReadData(offset, piece)) {
            return std::nullopt;
        }
        return piece;
    }

    // The percentage proposed for the data's peak. For data of two pieces or more a second
    // thread measures the second half of the pieces, into a buffer of its own: reading the file
    // takes most of the time, and two cores copy from the file's cache faster than one.
    std::optional<int> ProposedPercent() {
        const std::uint64_t pieces = (DataBytes() + kPieceBytes - 1) / kPieceBytes;
        const std::uint64_t half = pieces / 2;
        Measure second;
        std::thread helper;
        const CPieceBuffer helperBuffer(half > 0 ? BufferBytes() : 0, m_reader.DataOffset());
        if (half > 0 && helperBuffer.Usable()) {
            try {
                helper = std::thread([this, &second, &helperBuffer, half, pieces] {
                    second = MeasurePieces(half, pieces, helperBuffer);
                });
            } catch (const std::system_error&) {
                helper = std::thread();
            }
        }
        const Measure first = MeasurePieces(0, helper.joinable() ? half : pieces, *m_buffer);
        if (helper.joinable()) {
            helper.join();
        }
        // Only this thread tells the user, and only of the first failure in the file.
        const CWaveReader::ReadResult failure =
            first.result != CWaveReader::ReadResult::kRead ? first.result : second.result;
        if (failure != CWaveReader::ReadResult::kRead) {
            CWaveReader::Report(failure);
            return std::nullopt;
        }
        const std::uint32_t magnitude = std::max(first.magnitude, second.magnitude);
        return ProposePercent(samplekernels::PeakFraction(magnitude, m_header.m_bitsPerSample));
    }

  private:
    struct Measure {
        std::uint32_t magnitude = 0;
        CWaveReader::ReadResult result = CWaveReader::ReadResult::kRead;
    };

    std::size_t BufferBytes() const { return std::min<std::size_t>(kPieceBytes, DataBytes()); }

    std::size_t PieceBytes(std::uint64_t offset) const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, DataBytes() - offset));
    }

    // The largest magnitude of pieces [first, last), up to the first that cannot be read.
    Measure MeasurePieces(std::uint64_t first, std::uint64_t last,
                          const CPieceBuffer& buffer) const {
        Measure measure;
        for (std::uint64_t i = first; i < last; ++i) {
            const std::span<std::uint8_t> piece = buffer.First(PieceBytes(i * kPieceBytes));
            measure.result = m_reader.ReadDataQuietly(i * kPieceBytes, piece);
            if (measure.result != CWaveReader::ReadResult::kRead) {
                break;
            }
            measure.magnitude = std::max(
                measure.magnitude, samplekernels::PeakMagnitude(piece, m_header.m_bitsPerSample));
        }
        return measure;
    }

    CWaveData m_header;
    CWaveReader m_reader;
    std::optional<CPieceBuffer> m_buffer;
};

// Writes the output pieces on a thread of its own while the caller's thread reads and scales the
// next ones: the system's copy into the file's cache takes about as long as reading and scaling
// together, and with two cores both run at once (bench/gain_vs_cp.sh shows what that gains). Up
// to kQueuedPieces wait to be written, so that a short stall of either thread does not hold up
// the other.
//
// Ownership: borrows the writer for its whole life. A piece handed to Write() is read by the
// writing thread until kQueuedPieces more Write() calls have returned or the object is destroyed,
// so it must stay unchanged until then.
//
// Threads: Write() from the thread that made the object. The writing thread uses the writer and
// the pieces only, and is joined by the destructor, after the last piece has been written; the
// writer may be used again from then on. When no thread can be started the pieces are written
// by Write() itself.
class CWriteBehind {
  public:
    static constexpr std::ptrdiff_t kQueuedPieces = 2;

    explicit CWriteBehind(CWaveFileWriter& writer) : m_writer(writer) {
        try {
            m_thread = std::thread([this] { WritePieces(); });
        } catch (const std::system_error&) {
            m_thread = std::thread();
        }
    }

    ~CWriteBehind() {
        if (m_thread.joinable()) {
            for (std::ptrdiff_t i = 0; i < kQueuedPieces; ++i) {
                m_free.acquire();
            }
            m_stopping = true;
            m_queued.release();
            m_thread.join();
        }
    }

    CWriteBehind(const CWriteBehind&) = delete;
    CWriteBehind& operator=(const CWriteBehind&) = delete;

    // Waits until fewer than kQueuedPieces pieces are still to be written, then queues this one.
    // False when a write has failed; nothing more is written then.
    bool Write(std::span<const std::uint8_t> piece) {
        if (!m_thread.joinable()) {
            return m_writer.Append(piece);
        }
        m_free.acquire();
        if (m_failed) {
            m_free.release();
            return false;
        }
        m_queue[m_queuedCount++ % kQueuedPieces] = piece;
        m_queued.release();
        return true;
    }

  private:
    void WritePieces() {
        for (std::size_t written = 0;; ++written) {
            m_queued.acquire();
            if (m_stopping) {
                return;
            }
            if (!m_failed && !m_writer.Append(m_queue[written % kQueuedPieces])) {
                m_failed = true;
            }
            m_free.release();
        }
    }

    CWaveFileWriter& m_writer;
    // Each entry is handed from Write() to the writing thread, and back, through the semaphores.
    std::array<std::span<const std::uint8_t>, kQueuedPieces> m_queue;
    std::size_t m_queuedCount = 0;
    std::counting_semaphore<kQueuedPieces> m_queued{0};
    std::counting_semaphore<kQueuedPieces> m_free{kQueuedPieces};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

// Reads, scales and writes the data piece by piece; false after a report (a failed write is
// reported by the writer's Finish()).
bool WritePieces(CPieceSource& source, CWaveFileWriter& writer, bool widen, double factor) {
    // One output piece more than can be queued, each lying in memory as it will lie in the file
    // after its header.
    const std::size_t outputPieceBytes =
        (widen ? 2 : 1) * std::min<std::size_t>(kPieceBytes, source.DataBytes());
    std::vector<CPieceBuffer> outputPieces;
    for (std::ptrdiff_t i = 0; i <= CWriteBehind::kQueuedPieces; ++i) {
        outputPieces.emplace_back(outputPieceBytes, riff::kHeaderBytes);
        if (!outputPieces.back().Usable()) {
            return ReportOutOfMemory();
        }
    }
    CWriteBehind writeBehind(writer);
    for (std::uint64_t offset = 0; offset < source.DataBytes(); offset += kPieceBytes) {
        const std::optional<std::span<std::uint8_t>> piece = source.ReadPiece(offset);
        if (!piece) {
            return false;
        }
        const std::span<std::uint8_t> samples =
            outputPieces[offset / kPieceBytes % outputPieces.size()].First((widen ? 2 : 1) *
                                                                           piece->size());
        if (widen) {
            samplekernels::Widen8To16(*piece, samples);
            samplekernels::ScaleSamples16(samples, factor);
        } else {
            samplekernels::ScaleSamples16(*piece, samples, factor);
        }
        if (!writeBehind.Write(samples)) {
            break;
        }
    }
    return true;
}

// Writes the source's samples scaled by factor to output; false after a report.
bool WriteGainedFile(CPieceSource& source, const char* output, double factor) {
    // As ApplyGain does: samples of another depth than 16 bits are widened first (the reader
    // lets only 8 and 16 through), and the user is told so before anything is written.
    const CWaveData& header = source.Header();
    platform::WAVEFORMATEX format = header.FormatRecord();
    std::uint64_t outputBytes = source.DataBytes();
    const bool widen = header.m_bitsPerSample == 8;
    if (header.m_bitsPerSample != 16) {
        if (widen) {
            outputBytes *= 2;
            if (!riff::FitsSampleBlock(outputBytes)) {
                return ReportOutOfMemory();
            }
            format = WidenedFormat(format);
        }
        CWaveData::ShowMessage(CWaveData::kMsgBitsChanged);
    }

    CWaveFileWriter writer;
    return writer.Open(output, format, static_cast<std::uint32_t>(outputBytes)) &&
           WritePieces(source, writer, widen, factor) && writer.Finish();
}

}  // namespace

std::optional<int> ProposeFilePercent(const char* path) {
    CPieceSource source(path);
    if (!source.Ready()) {
        return std::nullopt;
    }
    return source.ProposedPercent();
}

std::optional<int> GainFileInPieces(const char* input, const char* output,
                                    std::optional<int> percent) {
    CPieceSource source(input);
    if (!source.Ready()) {
        return std::nullopt;
    }
    if (!percent) {
        percent = source.ProposedPercent();
        if (!percent) {
            return std::nullopt;
        }
    }
    if (!WriteGainedFile(source, output, GainFactor(*percent))) {
        return std::nullopt;
    }
    return percent;
}

bool GainFileByFactor(const char* input, const char* output, double factor) {
    CPieceSource source(input);
    return source.Ready() && WriteGainedFile(source, output, factor);
}
