#include "wave/StreamingGain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
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
    std::uint64_t PieceCount() const { return (DataBytes() + m_pieceBytes - 1) / m_pieceBytes; }
    // A buffer for the pieces of one thread, like the one Ready() made; check Usable().
    CPieceBuffer NewBuffer() const { return {BufferBytes(), m_reader.DataOffset()}; }

    // Reads the piece with the given index into buffer, as *piece, without a word to the user;
    // any number of threads may read pieces at once, each into a buffer of its own.
    CWaveReader::ReadResult ReadPiece(std::uint64_t index, const CPieceBuffer& buffer,
                                      std::span<std::uint8_t>* piece) const {
        const std::uint64_t offset = index * m_pieceBytes;
        *piece = buffer.First(
            static_cast<std::size_t>(std::min<std::uint64_t>(m_pieceBytes, DataBytes() - offset)));
        return m_reader.ReadDataQuietly(offset, *piece);
    }

    // The data's peak as a fraction of full scale (PeakOf). For data of two pieces or more a second
    // thread measures the second half of the pieces, into a buffer of its own: reading the file
    // takes most of the time, and two cores copy from the file's cache faster than one.
    std::optional<double> Peak() {
        const std::uint64_t pieces = PieceCount();
        const std::uint64_t half = pieces / 2;
        Measure second;
        std::thread helper;
        const CPieceBuffer helperBuffer = half > 0 ? NewBuffer() : CPieceBuffer(0, 0);
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

    // The peak of pieces [first, last), up to the first that cannot be read.
    Measure MeasurePieces(std::uint64_t first, std::uint64_t last,
                          const CPieceBuffer& buffer) const {
        Measure measure;
        for (std::uint64_t i = first; i < last; ++i) {
            std::span<std::uint8_t> piece;
            measure.result = ReadPiece(i, buffer, &piece);
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

// Writes the output pieces in the order of the file, whichever thread made them. With a writing
// thread of its own it is a write-behind: the system's copy into the file's cache takes about as
// long as reading and scaling 16-bit samples, and with two cores both run at once; up to
// kQueuedPieces wait to be written, so that a short stall of either thread does not hold up the
// other. Without one, Write() writes each piece itself in its turn.
//
// Ownership: borrows the writer for its whole life. Write(index, piece) returns only once every
// piece before index + 1 - kQueuedPieces has been written, so a piece's bytes must stay
// unchanged until Write() of the piece kQueuedPieces after it has returned, or until the object
// is destroyed.
//
// Threads: Write() and Abandon() from any thread. The writing thread uses the writer and the
// pieces only; the destructor waits until every queued piece has been written and joins it, and
// the writer may be used again from then on. When no thread can be started the pieces are
// written by Write() itself.
class CPieceWriter {
  public:
    static constexpr std::uint64_t kQueuedPieces = 2;

    enum class Writing { kOnItsOwnThread, kByWrite };

    CPieceWriter(CWaveFileWriter& writer, Writing writing) : m_writer(writer) {
        if (writing == Writing::kByWrite) {
            return;
        }
        try {
            m_thread = std::thread([this] { WritePieces(); });
        } catch (const std::system_error&) {
            m_thread = std::thread();
        }
    }

    ~CPieceWriter() {
        if (m_thread.joinable()) {
            {
                const std::lock_guard lock(m_mutex);
                m_stopping = true;
            }
            m_changed.notify_all();
            m_thread.join();
        }
    }

    CPieceWriter(const CPieceWriter&) = delete;
    CPieceWriter& operator=(const CPieceWriter&) = delete;

    // Waits until the pieces before index have been queued and fewer than kQueuedPieces are still
    // to be written, then queues this one. False when a write has failed or the pieces were
    // abandoned; nothing more is written then.
    bool Write(std::uint64_t index, std::span<const std::uint8_t> piece) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] {
            return m_failed || m_abandoned ||
                   (m_queuedCount == index && m_queuedCount - m_writtenCount < kQueuedPieces);
        });
        if (m_failed || m_abandoned) {
            return false;
        }
        if (!m_thread.joinable()) {
            m_failed = !m_writer.Append(piece);
            ++m_writtenCount;
        } else {
            m_queue[index % kQueuedPieces] = piece;
        }
        ++m_queuedCount;
        const bool queued = !m_failed;
        lock.unlock();
        m_changed.notify_all();
        return queued;
    }

    // Makes every Write() from now on, and those waiting, return false: a piece could not be
    // read, so the pieces after it will never come.
    void Abandon() {
        {
            const std::lock_guard lock(m_mutex);
            m_abandoned = true;
        }
        m_changed.notify_all();
    }

  private:
    void WritePieces() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_stopping || m_writtenCount < m_queuedCount; });
            if (m_writtenCount == m_queuedCount) {
                return;
            }
            const std::span<const std::uint8_t> piece = m_queue[m_writtenCount % kQueuedPieces];
            if (!m_failed && !m_abandoned) {
                lock.unlock();
                const bool written = m_writer.Append(piece);
                lock.lock();
                m_failed = m_failed || !written;
            }
            ++m_writtenCount;
            m_changed.notify_all();
        }
    }

    CWaveFileWriter& m_writer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Guarded by m_mutex. Piece n waits in m_queue[n % kQueuedPieces] from Write(n) until the
    // writing thread has written it, which m_writtenCount then counts.
    std::array<std::span<const std::uint8_t>, kQueuedPieces> m_queue;
    std::uint64_t m_queuedCount = 0;
    std::uint64_t m_writtenCount = 0;
    bool m_failed = false;
    bool m_abandoned = false;
    bool m_stopping = false;
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

// Scales one piece of samples of encoding into output, as 16-bit samples; the number of samples
// clipped. firstIndex is the index in the file of the piece's first sample, which its dither
// depends on.
std::uint64_t ScalePiece(std::span<const std::uint8_t> piece, sk::SampleEncoding encoding,
                         std::span<std::uint8_t> output, double factor, std::uint64_t firstIndex) {
    if (encoding == sk::SampleEncoding::kPcm8) {
        sk::Widen8To16(piece, output);
        const std::uint64_t clipped = sk::CountClipped16(output, factor);
        sk::ScaleSamples16(output, factor);
        return clipped;
    }
    if (encoding == sk::SampleEncoding::kPcm16) {
        const std::uint64_t clipped = sk::CountClipped16(piece, factor);
        sk::ScaleSamples16(piece, output, factor);
        return clipped;
    }
    return sk::NarrowWithGain(piece, encoding, output, factor, firstIndex);
}

// One thread's share of the pieces of a gain: every stride-th piece from a first one, each read
// into a buffer of the lane's own, scaled into one of kOutputBuffers output buffers of its own in
// turn and handed to the piece writer. A lane refills an output buffer only after it has handed
// over the kQueuedPieces pieces of its own after the one it held, so even a lane that takes every
// piece finds that piece written.
class CGainLane {
  public:
    CGainLane(const CPieceSource& source, std::size_t outputPieceBytes)
        : m_input(source.NewBuffer()) {
        for (std::uint64_t i = 0; i < kOutputBuffers; ++i) {
            m_outputs.emplace_back(outputPieceBytes, riff::kHeaderBytes);
        }
    }

    bool Usable() const {
        return m_input.Usable() && std::all_of(m_outputs.begin(), m_outputs.end(),
                                               [](const CPieceBuffer& b) { return b.Usable(); });
    }

    // Works through pieces first, first + stride, ... until the last, the first that cannot be
    // read (which stops the other lanes too) or the first that cannot be queued.
    void Run(const CPieceSource& source, CPieceWriter& output, double factor, std::uint64_t first,
             std::uint64_t stride) {
        const sk::SampleEncoding encoding = source.Encoding();
        const std::uint64_t count = source.PieceCount();
        for (std::uint64_t index = first, turn = 0; index < count; index += stride, ++turn) {
            std::span<std::uint8_t> piece;
            const CWaveReader::ReadResult result = source.ReadPiece(index, m_input, &piece);
            if (result != CWaveReader::ReadResult::kRead) {
                m_failedPiece = index;
                m_failure = result;
                output.Abandon();
                return;
            }
            const std::span<std::uint8_t> scaled = m_outputs[turn % kOutputBuffers].First(
                static_cast<std::size_t>(OutputBytes(piece.size(), encoding)));
            m_clipped += ScalePiece(piece, encoding, scaled, factor,
                                    index * source.PieceBytes() / sk::BytesOf(encoding));
            if (!output.Write(index, scaled)) {
                return;
            }
        }
    }

    std::uint64_t Clipped() const { return m_clipped; }
    // The index of the piece that could not be read, and why; nothing when every piece was read.
    std::optional<std::uint64_t> FailedPiece() const { return m_failedPiece; }
    CWaveReader::ReadResult Failure() const { return m_failure; }

  private:
    static constexpr std::uint64_t kOutputBuffers = CPieceWriter::kQueuedPieces + 1;

    CPieceBuffer m_input;
    std::vector<CPieceBuffer> m_outputs;
    std::uint64_t m_clipped = 0;
    std::optional<std::uint64_t> m_failedPiece;
    CWaveReader::ReadResult m_failure = CWaveReader::ReadResult::kRead;
};

// Reads, scales and writes the data piece by piece, counting the samples clipped into *clipped;
// false after a report (a failed write is reported by the writer's Finish()). With two cores,
// 8-bit and 16-bit samples are read and scaled on the calling thread while the piece writer's own
// thread writes them; wide samples, whose narrowing costs about twice as much as reading, take
// two lanes instead, the calling thread the even pieces and a second thread the odd ones, each
// reading, narrowing and writing its piece whole in its turn, so that while one writes the other
// narrows. Measured end to end on two cores, the lanes made wide files about a fifth faster than
// each piece split between two threads with a writing thread beside them (bench/gain_vs_cp.sh
// with BEFORE=), and made 16-bit files slower than one thread reading and scaling with a writing
// thread beside it.
bool WritePieces(const CPieceSource& source, CWaveFileWriter& writer, double factor,
                 std::uint64_t* clipped) {
    const sk::SampleEncoding encoding = source.Encoding();
    const auto outputPieceBytes = static_cast<std::size_t>(
        OutputBytes(std::min<std::size_t>(source.PieceBytes(), source.DataBytes()), encoding));
    const bool twoLanes =
        sk::IsWide(encoding) && source.PieceCount() > 1 && std::thread::hardware_concurrency() >= 2;
    std::vector<std::unique_ptr<CGainLane>> lanes;
    for (int i = 0; i < (twoLanes ? 2 : 1); ++i) {
        lanes.push_back(std::make_unique<CGainLane>(source, outputPieceBytes));
        if (!lanes.back()->Usable()) {
            return ReportOutOfMemory();
        }
    }
    {
        CPieceWriter output(writer, twoLanes ? CPieceWriter::Writing::kByWrite
                                             : CPieceWriter::Writing::kOnItsOwnThread);
        std::thread helper;
        if (twoLanes) {
            try {
                helper =
                    std::thread([&] { lanes[1]->Run(source, output, factor, 1, lanes.size()); });
            } catch (const std::system_error&) {
                helper = std::thread();
            }
        }
        lanes[0]->Run(source, output, factor, 0, helper.joinable() ? lanes.size() : 1);
        if (helper.joinable()) {
            helper.join();
        }
    }
    // Only this thread tells the user, and only of the first piece in the file that could not be
    // read; the pieces after it were never written.
    const CGainLane* failed = nullptr;
    for (const auto& lane : lanes) {
        *clipped += lane->Clipped();
        if (lane->FailedPiece() && (!failed || *lane->FailedPiece() < *failed->FailedPiece())) {
            failed = lane.get();
        }
    }
    if (failed) {
        CWaveReader::Report(failed->Failure());
        return false;
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
