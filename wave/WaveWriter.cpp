#include "wave/WaveWriter.h"

#include <cstring>

#include "wave/RiffLayout.h"
#include "wave/WaveData.h"

void BuildWaveHeader(const platform::WAVEFORMATEX& format, std::uint32_t sampleBytes,
                     std::uint8_t* header) {
    CWaveData::StoreLE32(header, riff::kRiffId);
    CWaveData::StoreLE32(header + 4, sampleBytes + riff::kHeaderBytes - 8);
    CWaveData::StoreLE32(header + 8, riff::kWaveId);
    CWaveData::StoreLE32(header + 12, riff::kFmtId);
    CWaveData::StoreLE32(header + 16, 16);
    riff::StoreLE16(header + 20, format.wFormatTag);
    riff::StoreLE16(header + 22, format.nChannels);
    CWaveData::StoreLE32(header + 24, format.nSamplesPerSec);
    CWaveData::StoreLE32(header + 28, format.nAvgBytesPerSec);
    riff::StoreLE16(header + 32, format.nBlockAlign);
    riff::StoreLE16(header + 34, format.wBitsPerSample);
    CWaveData::StoreLE32(header + 36, riff::kDataId);
    CWaveData::StoreLE32(header + 40, sampleBytes);
}

bool CWaveFileWriter::Open(const char* path, const platform::WAVEFORMATEX& format,
                           std::uint32_t sampleBytes) {
    m_open = m_file.Open(path);
    if (!m_open) {
        CWaveData::ShowMessage(CWaveData::kMsgCannotOpen);
        return false;
    }
    std::uint8_t header[riff::kHeaderBytes];
    BuildWaveHeader(format, sampleBytes, header);
    m_failed = !m_file.Append(header);
    m_samplesLeft = sampleBytes;
    return true;
}

bool CWaveFileWriter::Append(std::span<const std::uint8_t> samples) {
    if (!m_open || m_failed) {
        return false;
    }
    m_failed = samples.size() > m_samplesLeft || !m_file.Append(samples);
    if (!m_failed) {
        m_samplesLeft -= static_cast<std::uint32_t>(samples.size());
    }
    return !m_failed;
}

bool CWaveFileWriter::Finish() {
    if (!m_open) {
        return false;
    }
    m_open = false;
    if (m_failed || m_samplesLeft != 0 || !m_file.Commit()) {
        CWaveData::ShowMessage(CWaveData::kMsgCannotSave);
        return false;
    }
    return true;
}

std::uint32_t CWaveData::GetWriteSize() const {
    return m_sampleBytes + riff::kHeaderBytes;
}

void CWaveData::StoreLE32(std::uint8_t* destination, std::uint32_t value) {
    destination[0] = static_cast<std::uint8_t>(value);
    destination[1] = static_cast<std::uint8_t>(value >> 8);
    destination[2] = static_cast<std::uint8_t>(value >> 16);
    destination[3] = static_cast<std::uint8_t>(value >> 24);
}

// The buffer's size is GetWriteSize(), so the header follows from m_sampleBytes alone.
void CWaveData::BuildFileImage(std::uint8_t* buffer, std::uint32_t /*size*/) const {
    BuildWaveHeader(FormatRecord(), m_sampleBytes, buffer);
    if (m_sampleBytes > 0) {
        std::memcpy(buffer + riff::kHeaderBytes, m_pSamples.get(), m_sampleBytes);
    }
}

bool CWaveData::Write(const char* path) const {
    // No file-sized copy is made: the header and then the block go to the file, the block in
    // pieces of a few MB.
    CWaveFileWriter writer;
    if (!writer.Open(path, FormatRecord(), m_sampleBytes)) {
        return false;
    }
    writer.Append({m_pSamples.get(), m_sampleBytes});
    return writer.Finish();
}
