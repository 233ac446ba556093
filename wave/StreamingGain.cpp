#include "wave/StreamingGain.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "wave/RiffLayout.h"
#include "wave/SampleKernels.h"
#include "wave/WaveData.h"
#include "wave/WaveReader.h"
#include "wave/WaveWriter.h"

static_assert(kPieceBytes % 4 == 0, "pieces must hold whole 16-bit frames");

namespace {

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
            CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
            return false;
        }
        m_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(BufferBytes());
        return true;
    }

    const CWaveData& Header() const { return m_header; }
    std::uint32_t DataBytes() const { return m_reader.DataBytes(); }

    // Reads the piece at offset (at most kPieceBytes) into the buffer; empty after a report.
    std::optional<std::span<std::uint8_t>> ReadPiece(std::uint64_t offset) {
        const auto bytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, DataBytes() - offset));
        const std::span<std::uint8_t> piece(m_buffer.get(), bytes);
        if (!m_reader.ReadData(offset, piece)) {
            return std::nullopt;
        }
        return piece;
    }

    // The largest sample magnitude of the data, one piece after the other.
    std::optional<std::uint32_t> PeakMagnitude() {
        std::uint32_t magnitude = 0;
        for (std::uint64_t offset = 0; offset < DataBytes(); offset += kPieceBytes) {
            const std::optional<std::span<std::uint8_t>> piece = ReadPiece(offset);
            if (!piece) {
                return std::nullopt;
            }
            magnitude =
                std::max(magnitude, samplekernels::PeakMagnitude(*piece, m_header.m_bitsPerSample));
        }
        return magnitude;
    }

    // The percentage proposed for the data's peak.
    std::optional<int> ProposedPercent() {
        const std::optional<std::uint32_t> magnitude = PeakMagnitude();
        if (!magnitude) {
            return std::nullopt;
        }
        return ProposePercent(samplekernels::PeakFraction(*magnitude, m_header.m_bitsPerSample));
    }

  private:
    std::size_t BufferBytes() const {
        return std::max<std::size_t>(1, std::min<std::size_t>(kPieceBytes, DataBytes()));
    }

    CWaveData m_header;
    CWaveReader m_reader;
    std::unique_ptr<std::uint8_t[]> m_buffer;
};

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
    const double factor = GainFactor(*percent);

    // As ApplyGain does: samples of another depth than 16 bits are widened first (the reader
    // lets only 8 and 16 through), and the user is told so before anything is written.
    const CWaveData& header = source.Header();
    platform::WAVEFORMATEX format = header.FormatRecord();
    std::uint64_t outputBytes = source.DataBytes();
    const bool widen = header.m_bitsPerSample == 8;
    std::unique_ptr<std::uint8_t[]> wide;
    if (header.m_bitsPerSample != 16) {
        if (widen) {
            outputBytes *= 2;
            if (!riff::FitsSampleBlock(outputBytes)) {
                CWaveData::ShowMessage(CWaveData::kMsgOutOfMemory);
                return std::nullopt;
            }
            format = WidenedFormat(format);
            wide = std::make_unique_for_overwrite<std::uint8_t[]>(2 * kPieceBytes);
        }
        CWaveData::ShowMessage(CWaveData::kMsgBitsChanged);
    }

    CWaveFileWriter writer;
    if (!writer.Open(output, format, static_cast<std::uint32_t>(outputBytes))) {
        return std::nullopt;
    }
    for (std::uint64_t offset = 0; offset < source.DataBytes(); offset += kPieceBytes) {
        const std::optional<std::span<std::uint8_t>> piece = source.ReadPiece(offset);
        if (!piece) {
            return std::nullopt;
        }
        std::span<std::uint8_t> samples = *piece;
        if (widen) {
            samples = {wide.get(), 2 * piece->size()};
            samplekernels::Widen8To16(*piece, samples);
        }
        samplekernels::ScaleSamples16(samples, factor);
        if (!writer.Append(samples)) {
            return std::nullopt;
        }
    }
    if (!writer.Finish()) {
        return std::nullopt;
    }
    return percent;
}
