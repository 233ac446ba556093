// The image itself: its construction from a file or from another image, its sample block and
// the message table through which every operation of the wave document reports.
#include "wave/WaveData.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/MessageBox.h"
#include "wave/RiffLayout.h"
#include "wave/WaveReader.h"

namespace {

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

}  // namespace

CWaveData::CWaveData(const char* path) {
    CWaveReader reader(path, *this);
    if (!reader.HasData()) {
        return;
    }
    // The samples are read straight into their own block.
    const std::uint32_t bytes = reader.DataBytes();
    std::unique_ptr<std::uint8_t[]> block;
    if (riff::FitsSampleBlock(bytes)) {
        block = AllocateBlock(bytes);
    }
    if (!block) {
        ShowMessage(kMsgOutOfMemory);
        return;
    }
    if (reader.ReadData(0, {block.get(), bytes})) {
        TakeBlock(std::move(block), bytes);
    }
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

void CWaveData::TakeFormatRecord(const platform::WAVEFORMATEX& format) {
    m_formatTag = format.wFormatTag;
    m_channels = format.nChannels;
    m_samplesPerSec = format.nSamplesPerSec;
    m_avgBytesPerSec = format.nAvgBytesPerSec;
    m_blockAlign = format.nBlockAlign;
    m_bitsPerSample = format.wBitsPerSample;
}

void CWaveData::TakeBlock(std::unique_ptr<std::uint8_t[]> block, std::uint32_t bytes) {
    m_pSamples = std::move(block);
    m_sampleBytes = bytes;
}

std::unique_ptr<std::uint8_t[]> CWaveData::NewBlock(std::uint64_t bytes) {
    std::unique_ptr<std::uint8_t[]> block;
    if (riff::FitsSampleBlock(bytes)) {
        block = AllocateBlock(static_cast<std::size_t>(bytes));
    }
    if (!block) {
        m_pSamples.reset();
        m_sampleBytes = 0;
        ShowMessage(kMsgOutOfMemory);
    }
    return block;
}
