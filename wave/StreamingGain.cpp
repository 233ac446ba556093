#include "wave/StreamingGain.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
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
#include "wave/WideSampleKernels.h"

namespace sk = samplekernels;

static_assert(kPieceBytes % kLineBytes == 0, "pieces must keep the cache-line alignment");

double DecibelFactor(double decibels) {
    return std::pow(10.0, decibels / 20.0);
}

double PeakTargetFactor(double peak, double decibels) {
    if (peak <= 0.0) {
        return 0.0;
    }
    return std::min(DecibelFactor(decibels) / peak, GainFactor(kMaxGainPercent));
}

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

    sk::SampleEncoding Encoding() const {
        return sk::AssumedEncoding(m_header.m_formatTag, m_header.m_bitsPerSample);
    }

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
        // Pieces of whole frames that keep the cache-line alignment: kPieceBytes itself for 8-bit
        // and 16-bit samples.
        m_pieceBytes =
            kPieceBytes - kPieceBytes % std::lcm(std::size_t{m_header.m_blockAlign}, kLineBytes);
        m_buffer.emplace(BufferBytes(), m_reader.DataOffset());
        return m_buffer->Usable() || ReportOutOfMemory();
    }

    const CWaveData& Header() const { return m_header; }
    std::uint32_t DataBytes() const { return m_reader.DataBytes(); }
    // The length of every piece but the last, a multiple of the frame size.
    std::size_t PieceBytes() const { return m_pieceBytes; }

    // Reads the piece at offset, a multiple of PieceBytes(), into the piece buffer; nothing after
    // a report.
    std::optional<std::span<std::uint8_t>> ReadPiece(std::uint64_t offset) {
        const std::span<std::uint8_t> piece = m_buffer->First(PieceBytes(offset));
        if (!m_reader.ReadData(offset, piece)) {
            return std::nullopt;
        }
        return piece;
    }

    // The data's peak as a fraction of full scale (PeakOf). For data of two pieces or more a second
    // thread measures the second half of the pieces, into a buffer of its own: reading the file
    // takes most of the time, and two cores copy from the file's cache faster than one.
    std::optional<double> Peak() {
        const std::uint64_t pieces = (DataBytes() + m_pieceBytes - 1) / m_pieceBytes;
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
        return std::max(first.peak, second.peak);
    }

  private:
    struct Measure {
        double peak = 0.0;
        CWaveReader::ReadResult result = CWaveReader::ReadResult::kRead;
    };

    std::size_t BufferBytes() const { return std::min<std::size_t>(m_pieceBytes, DataBytes()); }

    std::size_t PieceBytes(std::uint64_t offset) const {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(m_pieceBytes, DataBytes() - offset));
    }

    // The peak of pieces [first, last), up to the first that cannot be read.
    Measure MeasurePieces(std::uint64_t first, std::uint64_t last,
                          const CPieceBuffer& buffer) const {
        Measure measure;
        for (std::uint64_t i = first; i < last; ++i) {
            const std::span<std::uint8_t> piece = buffer.First(PieceBytes(i * m_pieceBytes));
            measure.result = m_reader.ReadDataQuietly(i * m_pieceBytes, piece);
            if (measure.result != CWaveReader::ReadResult::kRead) {
                break;
            }
            measure.peak = std::max(measure.peak, sk::PeakOf(piece, Encoding()));
        }
        return measure;
    }

    std::size_t m_pieceBytes = kPieceBytes;
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

// Narrows the pieces of wide samples on two threads: a thread of its own takes the first part
// of each piece while the caller's thread takes the rest. Narrowing costs about as much as
// reading such a piece (bench/WaveBench.cpp's Narrow cases), so on the caller's thread alone it
// held up reading the next one; the write-behind thread meanwhile waits for the system much of
// the time. The dither of a sample depends on its index only, so the split gives the same bytes.
// One thread for the whole file: a thread started for each piece of 1 MiB would cost more than
// it saves.
//
// Ownership: Narrow() borrows its spans for the call.
//
// Threads: Narrow() from the thread that made the object, which also joins the helping thread in
// the destructor. When no thread can be started, Narrow() does all the work itself.
class CTwoHandedNarrowing {
  public:
    CTwoHandedNarrowing() {
        if (std::thread::hardware_concurrency() < 2) {
            return;
        }
        try {
            m_thread = std::thread([this] { NarrowFirstParts(); });
        } catch (const std::system_error&) {
            m_thread = std::thread();
        }
    }

    ~CTwoHandedNarrowing() {
        if (m_thread.joinable()) {
            m_stopping = true;
            m_started.release();
            m_thread.join();
        }
    }

    CTwoHandedNarrowing(const CTwoHandedNarrowing&) = delete;
    CTwoHandedNarrowing& operator=(const CTwoHandedNarrowing&) = delete;

    // sk::NarrowWithGain of samples into narrowed.
    std::uint64_t Narrow(std::span<const std::uint8_t> samples, sk::SampleEncoding encoding,
                         std::span<std::uint8_t> narrowed, double factor,
                         std::uint64_t firstIndex) {
        const std::size_t unitBytes = sk::BytesOf(encoding);
        const std::size_t count = std::min(samples.size() / unitBytes, narrowed.size() / 2);
        // The first part ends at a multiple of 64 samples, where both spans keep the alignment
        // of a cache line.
        const std::size_t firstCount = count / 2 & ~std::size_t{63};
        if (!m_thread.joinable() || firstCount == 0) {
            return sk::NarrowWithGain(samples, encoding, narrowed, factor, firstIndex);
        }
        m_job = Job{samples.first(firstCount * unitBytes), encoding, narrowed.first(2 * firstCount),
                    factor, firstIndex};
        m_started.release();
        const std::uint64_t clipped = sk::NarrowWithGain(
            samples.subspan(firstCount * unitBytes, (count - firstCount) * unitBytes), encoding,
            narrowed.subspan(2 * firstCount, 2 * (count - firstCount)), factor,
            firstIndex + firstCount);
        m_finished.acquire();
        return clipped + m_job.clipped;
    }

  private:
    struct Job {
        std::span<const std::uint8_t> samples;
        sk::SampleEncoding encoding;
        std::span<std::uint8_t> narrowed;
        double factor;
        std::uint64_t firstIndex;
        std::uint64_t clipped = 0;
    };

    void NarrowFirstParts() {
        for (;;) {
            m_started.acquire();
            if (m_stopping) {
                return;
            }
            m_job.clipped = sk::NarrowWithGain(m_job.samples, m_job.encoding, m_job.narrowed,
                                               m_job.factor, m_job.firstIndex);
            m_finished.release();
        }
    }

    // Handed to the helping thread through m_started and back through m_finished.
    Job m_job{};
    std::binary_semaphore m_started{0};
    std::binary_semaphore m_finished{0};
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// The output bytes of input bytes of samples of encoding: 8-bit samples are widened, wide ones
// narrowed to 16 bits.
std::uint64_t OutputBytes(std::uint64_t inputBytes, sk::SampleEncoding encoding) {
    if (encoding == sk::SampleEncoding::kPcm8) {
        return 2 * inputBytes;
    }
    return sk::IsWide(encoding) ? inputBytes / sk::BytesOf(encoding) * 2 : inputBytes;
}

// Reads, scales and writes the data piece by piece, counting the samples clipped into *clipped;
// false after a report (a failed write is reported by the writer's Finish()).
bool WritePieces(CPieceSource& source, CWaveFileWriter& writer, double factor,
                 std::uint64_t* clipped) {
    const sk::SampleEncoding encoding = source.Encoding();
    const std::size_t pieceBytes = source.PieceBytes();
    // One output piece more than can be queued, each lying in memory as it will lie in the file
    // after its header.
    const auto outputPieceBytes = static_cast<std::size_t>(
        OutputBytes(std::min<std::size_t>(pieceBytes, source.DataBytes()), encoding));
    std::vector<CPieceBuffer> outputPieces;
    for (std::ptrdiff_t i = 0; i <= CWriteBehind::kQueuedPieces; ++i) {
        outputPieces.emplace_back(outputPieceBytes, riff::kHeaderBytes);
        if (!outputPieces.back().Usable()) {
            return ReportOutOfMemory();
        }
    }
    CWriteBehind writeBehind(writer);
    std::optional<CTwoHandedNarrowing> narrowing;
    if (sk::IsWide(encoding)) {
        narrowing.emplace();
    }
    for (std::uint64_t offset = 0; offset < source.DataBytes(); offset += pieceBytes) {
        const std::optional<std::span<std::uint8_t>> piece = source.ReadPiece(offset);
        if (!piece) {
            return false;
        }
        const std::span<std::uint8_t> samples =
            outputPieces[offset / pieceBytes % outputPieces.size()].First(
                static_cast<std::size_t>(OutputBytes(piece->size(), encoding)));
        if (encoding == sk::SampleEncoding::kPcm8) {
            sk::Widen8To16(*piece, samples);
            *clipped += sk::CountClipped16(samples, factor);
            sk::ScaleSamples16(samples, factor);
        } else if (encoding == sk::SampleEncoding::kPcm16) {
            *clipped += sk::CountClipped16(*piece, factor);
            sk::ScaleSamples16(*piece, samples, factor);
        } else {
            *clipped += narrowing->Narrow(*piece, encoding, samples, factor,
                                          offset / sk::BytesOf(encoding));
        }
        if (!writeBehind.Write(samples)) {
            break;
        }
    }
    return true;
}

}  // namespace

std::optional<int> ProposeFilePercent(const char* path) {
    CPieceSource source(path);
    if (!source.Ready()) {
        return std::nullopt;
    }
    const std::optional<double> peak = source.Peak();
    return peak ? std::optional(ProposePercent(*peak)) : std::nullopt;
}

bool NeedsPeak(const GainChoice& choice) {
    return choice.kind == GainChoice::Kind::kProposed ||
           choice.kind == GainChoice::Kind::kPeakDecibels;
}

GainOutcome ChooseGain(const GainChoice& choice, double peak) {
    GainOutcome outcome;
    switch (choice.kind) {
        case GainChoice::Kind::kProposed:
            outcome.percent = ProposePercent(peak);
            break;
        case GainChoice::Kind::kPercent:
            outcome.percent = choice.percent;
            break;
        case GainChoice::Kind::kDecibels:
            outcome.factor = DecibelFactor(choice.decibels);
            break;
        case GainChoice::Kind::kPeakDecibels:
            outcome.factor = PeakTargetFactor(peak, choice.decibels);
            break;
    }
    if (outcome.percent) {
        outcome.factor = GainFactor(*outcome.percent);
    }
    return outcome;
}

std::optional<GainOutcome> GainFile(const char* input, const char* output,
                                    const GainChoice& choice) {
    CPieceSource source(input);
    if (!source.Ready()) {
        return std::nullopt;
    }
    std::optional<double> peak = 0.0;
    if (NeedsPeak(choice)) {
        peak = source.Peak();
        if (!peak) {
            return std::nullopt;
        }
    }
    GainOutcome outcome = ChooseGain(choice, *peak);

    // As ApplyGain does: samples of another depth than 16 bits are widened or narrowed to 16
    // bits, and the user is told so before anything is written.
    const CWaveData& header = source.Header();
    const sk::SampleEncoding encoding = source.Encoding();
    platform::WAVEFORMATEX format = header.FormatRecord();
    const std::uint64_t outputBytes = OutputBytes(source.DataBytes(), encoding);
    if (encoding != sk::SampleEncoding::kPcm16) {
        if (!riff::FitsSampleBlock(outputBytes)) {
            CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
            return std::nullopt;
        }
        format =
            encoding == sk::SampleEncoding::kPcm8 ? WidenedFormat(format) : NarrowedFormat(format);
        CWaveData::ShowMessage(CWaveData::kMsgBitsChanged);
    }

    CWaveFileWriter writer;
    if (!writer.Open(output, format, static_cast<std::uint32_t>(outputBytes)) ||
        !WritePieces(source, writer, outcome.factor, &outcome.clippedSamples) || !writer.Finish()) {
        return std::nullopt;
    }
    return outcome;
}

std::optional<int> GainFileInPieces(const char* input, const char* output,
                                    std::optional<int> percent) {
    GainChoice choice;
    if (percent) {
        choice.kind = GainChoice::Kind::kPercent;
        choice.percent = *percent;
    }
    const std::optional<GainOutcome> outcome = GainFile(input, output, choice);
    return outcome ? outcome->percent : std::nullopt;
}
