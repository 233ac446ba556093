#include "wave/WaveWriter.h"

#include <algorithm>
#include <cstring>

#include "wave/PcmLayout.h"
#include "wave/RiffLayout.h"
#include "wave/WaveData.h"

namespace {

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

bool IsConsistent(const platform::WAVEFORMATEX& format) {
    return HasConsistentLayout(format.nChannels, format.nSamplesPerSec, format.nBlockAlign,
                               format.wBitsPerSample);
}

}  // namespace

std::uint32_t WrittenDataBytes(std::uint32_t sampleBytes, std::uint16_t bitsPerSample) {
    const std::uint32_t bytesPerSample = BytesPerSample(bitsPerSample);
    return bytesPerSample == 0 ? sampleBytes : sampleBytes - sampleBytes % bytesPerSample;
}

void BuildWaveHeader(const platform::WAVEFORMATEX& format, std::uint32_t dataBytes,
                     std::uint8_t* header) {
    // RIFF pads an odd-sized chunk with one byte.
    CWaveData::StoreLE32(header, riff::kRiffId);
    CWaveData::StoreLE32(header + 4, riff::kHeaderBytes - 8 + dataBytes + (dataBytes & 1));
    CWaveData::StoreLE32(header + 8, riff::kWaveId);
    CWaveData::StoreLE32(header + 12, riff::kFmtId);
    CWaveData::StoreLE32(header + 16, 16);
    riff::StoreLE16(header + 20, format.wFormatTag);
    riff::StoreLE16(header + 22, format.nChannels);
    CWaveData::StoreLE32(header + 24, format.nSamplesPerSec);
    CWaveData::StoreLE32(header + 28, ByteRateOf(format.nSamplesPerSec, format.nBlockAlign));
    riff::StoreLE16(header + 32, format.nBlockAlign);
    riff::StoreLE16(header + 34, format.wBitsPerSample);
    CWaveData::StoreLE32(header + 36, riff::kDataId);
    CWaveData::StoreLE32(header + 40, dataBytes);
}

bool CWaveFileWriter::Open(const char* path, const platform::WAVEFORMATEX& format,
                           std::uint32_t sampleBytes) {
    m_path = path;
    m_failed = true;
    if (!IsConsistent(format)) {
        CWaveData::ShowMessage(CWaveData::kMsgWrongFormat, {path, 0});
        return false;
    }
    m_file.emplace(path);
    if (m_file->Status().result != ReplaceResult::kDone) {
        CWaveData::ShowMessage(MessageForOutput(m_file->Status().result),
                               {path, m_file->Status().systemError});
        m_file.reset();
        return false;
    }
    m_samplesLeft = sampleBytes;
    m_dataLeft = WrittenDataBytes(sampleBytes, format.wBitsPerSample);
    m_padded = (m_dataLeft & 1) != 0;
    std::uint8_t header[riff::kHeaderBytes];
    BuildWaveHeader(format, m_dataLeft, header);
    m_failed = !m_file->Append({{header, riff::kHeaderBytes}});
    return true;
}

bool CWaveFileWriter::Append(std::span<const std::uint8_t> samples) {
    if (!m_file || m_failed) {
        return false;
    }
    const auto dataBytes =
        static_cast<std::uint32_t>(std::min<std::size_t>(samples.size(), m_dataLeft));
    m_failed = samples.size() > m_samplesLeft || !m_file->Append({{samples.data(), dataBytes}});
    if (!m_failed) {
        m_samplesLeft -= static_cast<std::uint32_t>(samples.size());
        m_dataLeft -= dataBytes;
    }
    return !m_failed;
}

bool CWaveFileWriter::Finish() {
    if (!m_file) {
        return false;
    }
    static constexpr std::uint8_t kPad[1] = {0};
    if (!m_failed && m_samplesLeft == 0 && m_padded) {
        m_file->Append({{kPad, 1}});
    }
    const ReplaceStatus status = m_failed || m_samplesLeft != 0
                                     ? ReplaceStatus{ReplaceResult::kCannotWrite, 0}
                                     : m_file->Commit();
    if (status.result == ReplaceResult::kDone) {
        m_file.reset();
        return true;
    }
    // A write that failed has its reason in the replacement's status.
    const ReplaceStatus& reported =
        m_file->Status().result != ReplaceResult::kDone ? m_file->Status() : status;
    CWaveData::ShowMessage(MessageForOutput(reported.result), {m_path, reported.systemError});
    m_file.reset();
    return false;
}

std::uint32_t CWaveData::GetWriteSize() const {
    const std::uint32_t dataBytes = WrittenDataBytes(m_sampleBytes, m_bitsPerSample);
    return riff::kHeaderBytes + dataBytes + (dataBytes & 1);
}

void CWaveData::StoreLE32(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value);
    destination[1] = static_cast<std::uint8_t>(value >> 8);
    destination[2] = static_cast<std::uint8_t>(value >> 16);
    destination[3] = static_cast<std::uint8_t>(value >> 24);
}

// The buffer's size is GetWriteSize(), so the file follows from the image's fields alone.
void CWaveData::BuildFileImage(std::uint8_t* buffer, std::uint32_t /*size*/) const {
    const std::uint32_t dataBytes = WrittenDataBytes(m_sampleBytes, m_bitsPerSample);
    BuildWaveHeader(FormatRecord(), dataBytes, buffer);
    if (dataBytes > 0) {
        std::memcpy(buffer + riff::kHeaderBytes, m_pSamples.get(), dataBytes);
    }
    if ((dataBytes & 1) != 0) {
        buffer[riff::kHeaderBytes + dataBytes] = 0;
    }
}

bool CWaveData::Write(const char* path) const {
    // No file-sized copy is made: the header and then the block go to the file.
    CWaveFileWriter writer;
    if (!writer.Open(path, FormatRecord(), m_sampleBytes)) {
        return false;
    }
    writer.Append({m_pSamples.get(), m_sampleBytes});
    return writer.Finish();
}
