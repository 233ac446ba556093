// The transforms of the image: each runs the sample kernels on the whole block and keeps the
// format fields in step with the samples. A transform that changes the block's size makes a new
// block of the final size, fills it in one pass and releases the old one.
#include <span>

#include "wave/PcmLayout.h"
#include "wave/SampleKernels.h"
#include "wave/SampleLevels.h"
#include "wave/WaveData.h"
#include "wave/WideSampleKernels.h"

namespace sk = samplekernels;

double CWaveData::GetPeak() const {
    if (!HasSamples()) {
        return 0.0;
    }
    return sk::PeakOf({m_pSamples.get(), m_sampleBytes}, Encoding());
}

CSampleLevels CWaveData::GetLevels() const {
    if (!HasSamples()) {
        return {};
    }
    return CSampleLevels::Measure({m_pSamples.get(), m_sampleBytes}, Encoding());
}

sk::SampleEncoding CWaveData::Encoding() const {
    return sk::AssumedEncoding(m_formatTag, m_bitsPerSample);
}

void CWaveData::ApplyGain(double factor) {
    if (sk::IsWide(Encoding())) {
        NarrowWithGain(factor);
        if (HasSamples()) {
            ShowMessage(kMsgBitsChanged);
        }
        return;
    }
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
    samplekernels::ScaleSamples16({m_pSamples.get(), m_sampleBytes}, factor);
}

void CWaveData::NarrowWithGain(double factor) {
    if (!HasSamples()) {
        return;
    }
    const std::size_t sampleCount = m_sampleBytes / sk::BytesOf(Encoding());
    const std::uint32_t newBytes = static_cast<std::uint32_t>(2 * sampleCount);
    std::unique_ptr<std::uint8_t[]> block = NewBlock(newBytes);
    if (!block) {
        return;
    }
    sk::NarrowWithGain({m_pSamples.get(), m_sampleBytes}, Encoding(), {block.get(), newBytes},
                       factor, 0);
    TakeBlock(std::move(block), newBytes);
    TakeFormatRecord(NarrowedFormat(FormatRecord()));
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
    samplekernels::Widen8To16({m_pSamples.get(), m_sampleBytes}, {block.get(), newBytes});
    TakeBlock(std::move(block), newBytes);
    TakeFormatRecord(WidenedFormat(FormatRecord()));
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
    samplekernels::Narrow16To8({m_pSamples.get(), m_sampleBytes}, {block.get(), newBytes});
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
    const std::span<const std::uint8_t> mono(m_pSamples.get(), m_sampleBytes);
    const std::span<std::uint8_t> stereo(block.get(), newBytes);
    const sk::SampleEncoding encoding = Encoding();
    if (encoding == sk::SampleEncoding::kPcm8) {
        sk::MonoToStereo8(mono, stereo);
    } else if (encoding == sk::SampleEncoding::kPcm16) {
        sk::MonoToStereo16(mono, stereo);
    } else {
        sk::MonoToStereoOf(mono, stereo, sk::BytesOf(encoding));
    }
    TakeBlock(std::move(block), newBytes);
    m_channels = 2;
    m_avgBytesPerSec *= 2;
    m_blockAlign = static_cast<std::uint16_t>(m_blockAlign * 2);
}

int ProposePercent(double peak) {
    if (peak <= 0.0) {
        return 0;
    }
    const double percent = 1.0 / peak * 100.0;
    return percent >= 1000.0 ? 1000 : static_cast<int>(percent);
}

double GainFactor(int percent) {
    return percent * 0.01;
}

platform::WAVEFORMATEX NarrowedFormat(platform::WAVEFORMATEX format) {
    format.wFormatTag = sk::kFormatPcm;
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<std::uint16_t>(format.nChannels * 2);
    format.nAvgBytesPerSec = ByteRateOf(format.nSamplesPerSec, format.nBlockAlign);
    return format;
}

platform::WAVEFORMATEX WidenedFormat(platform::WAVEFORMATEX format) {
    format.wBitsPerSample = 16;
    format.nAvgBytesPerSec *= 2;
    format.nBlockAlign = static_cast<std::uint16_t>(format.nBlockAlign * 2);
    return format;
}
