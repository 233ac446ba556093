#include "wave/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>

#include "platform/MessageBox.h"
#include "wave/PcmLayout.h"
#include "wave/SampleKernels.h"
#include "wave/WaveData.h"
#include "wave/WaveReader.h"

namespace {

// libebur128's interpolating filter for the true peak remembers the last 13 input frames (49
// taps, four phases). A state that has been fed the 64 frames before a piece computes every
// value of that piece exactly as a state fed the whole file up to there: this is what lets two
// threads share the true peak without changing a bit of it.
constexpr std::uint64_t kPrimingFrames = 64;

// The rates libebur128 accepts.
constexpr std::uint32_t kMinMeasuredRate = 16;
constexpr std::uint32_t kMaxMeasuredRate = 2822400;

struct StateDeleter {
    void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using StatePtr = std::unique_ptr<ebur128_state, StateDeleter>;

// A new state; null when there is no memory for it. ebur128_init sets tables that all states
// share, so two threads must not run it at once.
StatePtr NewState(std::uint16_t channels, std::uint32_t samplesPerSec, int mode) {
    static std::mutex initMutex;
    const std::lock_guard<std::mutex> lock(initMutex);
    return StatePtr(ebur128_init(channels, samplesPerSec, mode));
}

// How the samples of the data chunk reach libebur128, in pieces of whole frames: 8-bit and
// 16-bit samples as shorts (8-bit ones scaled as the gain widens them), 24-bit and 32-bit ones as
// ints (24-bit ones in the upper bits, so that full scale is the int's), floats as doubles. This is
// the one place that knows the sample layouts.
//
// Ownership: owns a buffer for the samples of one piece as libebur128 takes them.
// Threads: one at a time.
class CFrameFeeder {
  public:
    static bool Supports(const CWaveData& header) {
        return samplekernels::EncodingOf(header.m_formatTag, header.m_bitsPerSample).has_value();
    }

    // A feeder for pieces of up to maxFrames frames of header's layout (one Supports()).
    CFrameFeeder(const CWaveData& header, std::uint64_t maxFrames)
        : m_encoding(samplekernels::AssumedEncoding(header.m_formatTag, header.m_bitsPerSample)),
          m_channels(header.m_channels),
          m_sampleCount(static_cast<std::size_t>(maxFrames) * m_channels),
          // Eight bytes a sample hold every layout's type.
          m_buffer(new (std::nothrow) double[m_sampleCount]()) {}

    bool Usable() const { return m_buffer != nullptr; }

    // Adds the frames of bytes, whole frames of the file's layout (at most maxFrames), to state
    // in one call. False when libebur128 ran out of memory.
    bool Add(ebur128_state* state, std::span<const std::uint8_t> bytes) {
        using samplekernels::SampleEncoding;
        const std::size_t sampleCount = bytes.size() / samplekernels::BytesOf(m_encoding);
        const std::uint8_t* in = bytes.data();
        switch (m_encoding) {
            case SampleEncoding::kPcm8:
                // As the gain widens them: u becomes (u - 128) * 256, so the scale is the same.
                for (std::size_t i = 0; i < sampleCount; ++i) {
                    Shorts()[i] = static_cast<short>((in[i] - 128) * 256);
                }
                break;
            case SampleEncoding::kPcm16:
                std::memcpy(Shorts(), in, sampleCount * sizeof(short));
                break;
            case SampleEncoding::kPcm24:
                for (std::size_t i = 0; i < sampleCount; ++i, in += 3) {
                    Ints()[i] = static_cast<int>(static_cast<std::uint32_t>(in[0]) << 8 |
                                                 static_cast<std::uint32_t>(in[1]) << 16 |
                                                 static_cast<std::uint32_t>(in[2]) << 24);
                }
                break;
            case SampleEncoding::kPcm32:
                std::memcpy(Ints(), in, sampleCount * sizeof(int));
                break;
            case SampleEncoding::kFloat32:
            case SampleEncoding::kFloat64:
                // A sample that is not a number, or infinite, would make every figure so: it is
                // measured as silence, as the peak leaves it out.
                for (std::size_t i = 0; i < sampleCount; ++i) {
                    double value = 0.0;
                    if (m_encoding == SampleEncoding::kFloat32) {
                        float narrow = 0.0f;
                        std::memcpy(&narrow, in + 4 * i, sizeof narrow);
                        value = narrow;
                    } else {
                        std::memcpy(&value, in + 8 * i, sizeof value);
                    }
                    m_buffer[i] = std::isfinite(value) ? value : 0.0;
                }
                break;
        }
        return AddFrames(state, sampleCount / m_channels);
    }

    // Adds frameCount frames of silence (at most maxFrames): for the true peak, whose filter
    // then holds what it holds at the start of a file, whatever was fed before.
    bool AddSilence(ebur128_state* state, std::uint64_t frameCount) {
        // Zero bytes are silence in every type the buffer holds.
        std::fill_n(m_buffer.get(), frameCount * m_channels, 0.0);
        return AddFrames(state, frameCount);
    }

  private:
    short* Shorts() { return reinterpret_cast<short*>(m_buffer.get()); }
    int* Ints() { return reinterpret_cast<int*>(m_buffer.get()); }

    bool AddFrames(ebur128_state* state, std::size_t frameCount) {
        using samplekernels::SampleEncoding;
        switch (m_encoding) {
            case SampleEncoding::kPcm8:
            case SampleEncoding::kPcm16:
                return ebur128_add_frames_short(state, Shorts(), frameCount) == EBUR128_SUCCESS;
            case SampleEncoding::kPcm24:
            case SampleEncoding::kPcm32:
                return ebur128_add_frames_int(state, Ints(), frameCount) == EBUR128_SUCCESS;
            case SampleEncoding::kFloat32:
            case SampleEncoding::kFloat64:
                break;
        }
        return ebur128_add_frames_double(state, m_buffer.get(), frameCount) == EBUR128_SUCCESS;
    }

    samplekernels::SampleEncoding m_encoding;
    std::uint16_t m_channels;
    std::size_t m_sampleCount;
    std::unique_ptr<double[]> m_buffer;
};

// Where a measurement reads the data chunk's bytes: the file through its reader, or an image
// that is already in memory.
//
// Threads: Read may be called from two threads at once.
class CDataBytes {
  public:
    virtual ~CDataBytes() = default;
    virtual std::uint64_t Size() const = 0;
    // Copies bytes [offset, offset + out.size()) into out, without a word to the user.
    virtual CWaveReader::ReadResult Read(std::uint64_t offset,
                                         std::span<std::uint8_t> out) const = 0;
};

class CFileBytes final : public CDataBytes {
  public:
    explicit CFileBytes(const CWaveReader& reader) : m_reader(reader) {}
    std::uint64_t Size() const override { return m_reader.DataBytes(); }
    CWaveReader::ReadResult Read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        return m_reader.ReadDataQuietly(offset, out);
    }

  private:
    const CWaveReader& m_reader;
};

// An image's sample block; once cancel is set, every read fails, which ends the measurement.
class CImageBytes final : public CDataBytes {
  public:
    CImageBytes(const CWaveData& image, const std::atomic<bool>& cancel)
        : m_image(image), m_cancel(cancel) {}
    std::uint64_t Size() const override { return m_image.m_sampleBytes; }
    CWaveReader::ReadResult Read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
        if (m_cancel.load(std::memory_order_relaxed)) {
            return CWaveReader::ReadResult::kMissing;
        }
        std::memcpy(out.data(), m_image.m_pSamples.get() + offset, out.size());
        return CWaveReader::ReadResult::kRead;
    }

  private:
    const CWaveData& m_image;
    const std::atomic<bool>& m_cancel;
};

// One measurement of one file: the calling thread feeds the whole file, piece by piece, to the
// loudness state and then helps with the true peak; a helper thread measures the true peak from
// the start. The true peak is measured piece by piece: whichever thread takes a piece next feeds
// it, after the frames before it (kPrimingFrames), to its own true-peak state, and keeps the
// largest peaks that libebur128 reports for the piece alone.
//
// Ownership: borrows the bytes and the header for its life; owns the states and buffers.
// Threads: Run() on one thread; it starts and joins the helper itself.
class CLoudnessPass {
  public:
    CLoudnessPass(const CDataBytes& data, const CWaveData& header, std::size_t pieceBytes)
        : m_data(data),
          m_header(header),
          m_frameBytes(header.m_blockAlign),
          m_frameCount(data.Size() / m_frameBytes),
          // A short file gets buffers of its own size, not of a whole piece.
          m_framesPerPiece(std::max(
              std::min<std::uint64_t>(pieceBytes / m_frameBytes, m_frameCount), kPrimingFrames)),
          m_pieceCount((m_frameCount + m_framesPerPiece - 1) / m_framesPerPiece),
          m_loudness(NewState(header.m_channels, header.m_samplesPerSec, LoudnessMode())) {}

    // The measure, or nothing after a report.
    std::optional<LoudnessMeasure> Run() {
        CWorker first(*this);
        CWorker second(*this);
        if (!m_loudness || !first.Usable() || !second.Usable()) {
            CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
            return std::nullopt;
        }
        first.LeaveOutLoudness(m_header.m_channels);
        second.LeaveOutLoudness(m_header.m_channels);
        std::thread helper;
        if (m_pieceCount > 1) {
            try {
                helper = std::thread([this, &second] { PeakPieces(second); });
            } catch (const std::system_error&) {
                helper = std::thread();
            }
        }
        FeedLoudness(first);
        PeakPieces(first);
        if (helper.joinable()) {
            helper.join();
        }
        // Only this thread tells the user, and only of the first failure.
        for (const CWorker* worker : {&first, &second}) {
            if (worker->outOfMemory) {
                CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
                return std::nullopt;
            }
            if (worker->readResult != CWaveReader::ReadResult::kRead) {
                CWaveReader::Report(worker->readResult);
                return std::nullopt;
            }
        }

        LoudnessMeasure measure;
        measure.frameCount = m_frameCount;
        measure.samplesPerSec = m_header.m_samplesPerSec;
        measure.channels = m_header.m_channels;
        measure.samplePeakFraction = std::max(first.samplePeak, second.samplePeak);
        measure.truePeakFraction = std::max(first.truePeak, second.truePeak);
        if (ebur128_loudness_global(m_loudness.get(), &measure.integratedLufs) != EBUR128_SUCCESS ||
            ebur128_loudness_range(m_loudness.get(), &measure.loudnessRangeLu) != EBUR128_SUCCESS) {
            CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
            return std::nullopt;
        }
        return measure;
    }

  private:
    // What one thread needs: a buffer for a piece with the frames before it, a feeder and a
    // true-peak state; and what it found.
    struct CWorker {
        explicit CWorker(const CLoudnessPass& pass)
            : bytes(new (std::nothrow)
                        std::uint8_t[(pass.m_framesPerPiece + kPrimingFrames) * pass.m_frameBytes]),
              feeder(pass.m_header, pass.m_framesPerPiece + kPrimingFrames),
              truePeakState(NewState(pass.m_header.m_channels, pass.m_header.m_samplesPerSec,
                                     EBUR128_MODE_TRUE_PEAK)) {}

        bool Usable() const { return bytes && feeder.Usable() && truePeakState; }

        // The true peak is measured on every channel whatever its place; the loudness filter,
        // which this state would otherwise run too, is left out for channels of no place.
        void LeaveOutLoudness(std::uint16_t channels) const {
            for (unsigned channel = 0; channel < channels; ++channel) {
                ebur128_set_channel(truePeakState.get(), channel, EBUR128_UNUSED);
            }
        }

        std::unique_ptr<std::uint8_t[]> bytes;
        CFrameFeeder feeder;
        StatePtr truePeakState;
        double samplePeak = 0.0;
        double truePeak = 0.0;
        CWaveReader::ReadResult readResult = CWaveReader::ReadResult::kRead;
        bool outOfMemory = false;
    };

    // libebur128 keeps the energy of every 100 ms block, 32 bytes or so each: 4 MB for 12 hours.
    // Past that the blocks are counted in its histogram of 0.1 LU steps instead, so that memory
    // stays bounded whatever the length (a 4 GB file of 8 kHz 8-bit mono lasts 149 hours).
    int LoudnessMode() const {
        constexpr std::uint64_t kListedSeconds = 12 * 3600;
        const bool listTooLong = m_frameCount / m_header.m_samplesPerSec > kListedSeconds;
        return EBUR128_MODE_I | EBUR128_MODE_LRA | (listTooLong ? EBUR128_MODE_HISTOGRAM : 0);
    }

    // Reads frames [firstFrame, firstFrame + frameCount) into the worker's buffer; an empty span
    // after a failure, which stops both threads.
    std::span<const std::uint8_t> Read(CWorker& worker, std::uint64_t firstFrame,
                                       std::uint64_t frameCount) {
        const std::span<std::uint8_t> bytes(worker.bytes.get(), frameCount * m_frameBytes);
        worker.readResult = m_data.Read(firstFrame * m_frameBytes, bytes);
        if (worker.readResult != CWaveReader::ReadResult::kRead) {
            m_failed = true;
            return {};
        }
        return bytes;
    }

    // Records a lack of memory; true when this thread or the other one has failed, so that both
    // stop at once.
    bool Failed(CWorker& worker, bool outOfMemory) {
        if (outOfMemory) {
            worker.outOfMemory = true;
            m_failed = true;
        }
        return m_failed;
    }

    std::uint64_t FramesOfPiece(std::uint64_t piece) const {
        return std::min(m_framesPerPiece, m_frameCount - piece * m_framesPerPiece);
    }

    void FeedLoudness(CWorker& worker) {
        for (std::uint64_t piece = 0; piece < m_pieceCount && !m_failed; ++piece) {
            const std::span<const std::uint8_t> bytes =
                Read(worker, piece * m_framesPerPiece, FramesOfPiece(piece));
            if (bytes.empty() || Failed(worker, !worker.feeder.Add(m_loudness.get(), bytes))) {
                return;
            }
        }
    }

    // Measures the peaks of the pieces not yet taken, until there are none.
    void PeakPieces(CWorker& worker) {
        ebur128_state* state = worker.truePeakState.get();
        for (std::uint64_t piece = m_nextPeakPiece++; piece < m_pieceCount && !m_failed;
             piece = m_nextPeakPiece++) {
            const std::uint64_t firstFrame = piece * m_framesPerPiece;
            const std::uint64_t primingFrames = std::min(kPrimingFrames, firstFrame);
            const std::span<const std::uint8_t> bytes =
                Read(worker, firstFrame - primingFrames, primingFrames + FramesOfPiece(piece));
            if (bytes.empty()) {
                return;
            }
            const std::size_t primingBytes = primingFrames * m_frameBytes;
            if (Failed(worker, !worker.feeder.AddSilence(state, kPrimingFrames - primingFrames) ||
                                   !worker.feeder.Add(state, bytes.first(primingBytes)) ||
                                   !worker.feeder.Add(state, bytes.subspan(primingBytes)))) {
                return;
            }
            // The peaks of the last call alone: those of this piece.
            for (unsigned channel = 0; channel < m_header.m_channels; ++channel) {
                double samplePeak = 0.0;
                double truePeak = 0.0;
                ebur128_prev_sample_peak(state, channel, &samplePeak);
                ebur128_prev_true_peak(state, channel, &truePeak);
                worker.samplePeak = std::max(worker.samplePeak, samplePeak);
                worker.truePeak = std::max(worker.truePeak, truePeak);
            }
        }
    }

    const CDataBytes& m_data;
    const CWaveData& m_header;
    std::uint64_t m_frameBytes;
    std::uint64_t m_frameCount;
    std::uint64_t m_framesPerPiece;
    std::uint64_t m_pieceCount;
    StatePtr m_loudness;
    std::atomic<std::uint64_t> m_nextPeakPiece{0};
    std::atomic<bool> m_failed{false};
};

}  // namespace

double LoudnessMeasure::DurationSeconds() const {
    return samplesPerSec == 0
               ? 0.0
               : static_cast<double>(frameCount) / static_cast<double>(samplesPerSec);
}

int LoudnessMeasure::ProposedPercent() const {
    return ProposePercent(samplePeakFraction);
}

double FractionToDecibels(double fraction) {
    return fraction > 0.0 ? 20.0 * std::log10(fraction) : -std::numeric_limits<double>::infinity();
}

double DecibelsToFactor(double decibels) {
    return std::pow(10.0, decibels / 20.0);
}

std::optional<LoudnessMeasure> MeasureFileLoudness(const char* path, std::size_t pieceBytes) {
    CWaveData header;
    const CWaveReader reader(path, header);
    if (!reader.HasData()) {
        return std::nullopt;
    }
    if (!CFrameFeeder::Supports(header)) {
        CWaveData::ShowMessage(CWaveData::kMsgWrongFormat);
        return std::nullopt;
    }
    if (header.m_samplesPerSec < kMinMeasuredRate || header.m_samplesPerSec > kMaxMeasuredRate) {
        platform::ShowMessageBox(
            "この標本化周波数の音声はラウドネスを測れません (16 Hz〜2822400 Hz)。");
        return std::nullopt;
    }
    return CLoudnessPass(CFileBytes(reader), header, pieceBytes).Run();
}

std::optional<LoudnessMeasure> MeasureImageLoudness(const CWaveData& image,
                                                    const std::atomic<bool>& cancel) {
    if (!image.HasSamples() || !CFrameFeeder::Supports(image) ||
        image.m_samplesPerSec < kMinMeasuredRate || image.m_samplesPerSec > kMaxMeasuredRate ||
        image.m_blockAlign == 0) {
        return std::nullopt;
    }
    platform::CDeferredMessages withheld;
    std::optional<LoudnessMeasure> measure =
        CLoudnessPass(CImageBytes(image, cancel), image, kLoudnessPieceBytes).Run();
    withheld.Discard();
    return measure;
}

std::optional<LoudnessGain> GainForLoudness(const LoudnessMeasure& measure, double targetLufs,
                                            double ceilingDbtp) {
    if (!std::isfinite(measure.integratedLufs)) {
        return std::nullopt;
    }
    LoudnessGain gain;
    gain.factor = DecibelsToFactor(targetLufs - measure.integratedLufs);
    // Truncating the scaled samples to 16 bits moves each by less than one step, and rounding
    // wider ones after a dither of up to a step either way by up to a step and a half; the
    // interpolated values between them move by less than twice that: the ceiling keeps that much
    // room.
    constexpr double kTruncationRoom = 3.0 / 32768.0;
    const double ceiling = DecibelsToFactor(ceilingDbtp) - kTruncationRoom;
    if (measure.truePeakFraction * gain.factor > ceiling) {
        gain.factor = std::max(ceiling, 0.0) / measure.truePeakFraction;
        gain.limitedByTruePeak = true;
    }
    gain.decibels = FractionToDecibels(gain.factor);
    return gain;
}
