// CWaveData: the in-memory image of one RIFF/WAVE file: its header fields, its format fields and
// its sample block. The dialog (app/) keeps one as the loaded file and makes its Save and play
// copies from it; the command line's preview and test-tone generator (cli/) use it too.
//
// The wave document is built in rooms, one file each:
//   WaveData.cpp          the image itself: construction, copy, the message table;
//   WaveReader.h, .cpp    the reader (CWaveReader), shared by the reading constructor and the
//                         piecewise file gain, with InputFile.h (opening without waiting) and
//                         ChunkNoticeLimit.h (how many notices one read shows);
//   WaveWriter.h, .cpp    Write, the file image and the piecewise writer (CWaveFileWriter);
//   WaveTransforms.cpp    the peak, the gain, the bit-depth and channel conversions of an image;
//   SampleKernels.h, .cpp the sample arithmetic on spans, for the transforms and the file gain,
//                         with KernelSupport.h (threads, AVX2), WideSampleKernels.h, .cpp
//                         (samples of more than 16 bits, the dither) and SampleLevels.h, .cpp
//                         (the peak with the clip count of every percentage);
//   StreamingGain.h, .cpp the gain of a file into a new file in pieces (sonorette-gain);
//   FileReplace.h, .cpp   replacing a file's contents without risk to the old ones, with
//                         RemoveOnSignal.h (no half-written file left by a signal);
//   RiffLayout.h          what the reader and the writer share of the file layout, and
//   PcmLayout.h           of the format record's consistency.
//
// Ownership: an image owns its sample block alone (m_pSamples, m_sampleBytes bytes) and releases
// it when destroyed or when a transform replaces it. Whoever creates an image owns it.
//
// Failures are not returned as errors: every failure is shown to the user through
// platform::ShowMessageBox before the operation returns. A read that fails leaves an image that
// holds no samples (HasSamples() is false, m_sampleBytes is 0), on which every operation is safe.
//
// Threads: an image is used by one thread at a time. The playback engine's feeder thread may read
// the sample block of a play copy that no other thread changes meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/MessageBox.h"
#include "platform/WaveFormat.h"
#include "wave/SampleKernels.h"

class CSampleLevels;

// Four-byte chunk id held in file order, compared as one 32-bit value.
constexpr std::uint32_t MakeChunkId(const char (&id)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(id[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(id[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(id[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(id[3])) << 24;
}

class CWaveData {
  public:
    // Codes of ShowMessage.
    enum MessageCode : std::uint32_t {
        kMsgFileNotFound = 0,
        kMsgUnknownTag = 1,
        kMsgCannotOpen = 2,
        kMsgWrongFormat = 3,
        kMsgBitsChanged = 4,
        kMsgCannotSave = 5,
        kMsgOutOfMemory = 6,
        kMsgIsFolder = 7,
        kMsgNotRegularFile = 8,
    };

    // An image without samples, all fields zero; a program that builds an image in memory fills
    // the fields and the sample block itself.
    CWaveData() = default;
    // Reads the file at path (bytes as the system gives them). On failure the user has been told
    // why and the image holds no samples.
    explicit CWaveData(const char* path);
    // Takes over the six format fields and a copy of the sample block; the chunk ids and size
    // fields as read are left at zero. If the block cannot be obtained the user is told and the
    // copy holds no samples.
    CWaveData(const CWaveData& source);
    CWaveData& operator=(const CWaveData&) = delete;
    ~CWaveData() = default;

    bool HasSamples() const { return m_pSamples != nullptr; }
    // The six format fields as the playback format record, with no extra bytes.
    platform::WAVEFORMATEX FormatRecord() const;

    // Shows the numbered message, about the file of subject when it names one; returns when the
    // user has dismissed it.
    static void ShowMessage(std::uint32_t code, const platform::MessageSubject& subject = {});
    // Shows the notice of code 1 followed by the chunk id in square brackets.
    static void ReportTag(std::uint32_t code, const char* tag);
    // Shows the notice of code 1 followed by the number of chunks that a read did not report one
    // by one.
    static void ReportUnreportedTags(std::uint64_t chunkCount);

    // Writes the image as a 44-byte-header RIFF/WAVE file. The target is replaced only once the
    // whole file has been written; on failure the user has been told (with the path and the
    // system's reason), any existing file at path is unchanged and the result is false. An image
    // whose block align or byte rate disagrees with its other format fields is refused.
    bool Write(const char* path) const;
    // The size of the file that Write produces: 44 bytes of header, the samples (without a trailing
    // part of a sample, which belongs to no sample) and a pad byte after an odd number of them.
    std::uint32_t GetWriteSize() const;
    // Fills buffer (size bytes, size == GetWriteSize()) with the file that Write produces.
    void BuildFileImage(std::uint8_t* buffer, std::uint32_t size) const;
    static void StoreLE32(std::uint8_t* destination, std::uint32_t value);

    // The largest sample magnitude as a fraction of full scale: 0..1, and above 1 for floats
    // beyond full scale.
    double GetPeak() const;
    // The peak with the number of samples clipped at every whole percentage, in one pass.
    CSampleLevels GetLevels() const;
    // Scales every 16-bit sample by factor (a finite number), truncating toward zero and limiting
    // the result to -32768..32767. An 8-bit image is widened to 16 bits first, and an image of
    // wider samples is scaled and narrowed to 16 bits with dither (WideSampleKernels.h); the user
    // is told that the depth changed.
    void ApplyGain(double factor);
    void ConvertBits(int targetBits);
    void Convert8To16();
    void Convert16To8();
    void MonoToStereo();

    // Header fields as read; zero on a copy.
    std::uint32_t m_riffId = 0;
    std::uint32_t m_riffSize = 0;
    std::uint32_t m_waveId = 0;
    std::uint32_t m_fmtId = 0;
    std::uint32_t m_fmtSize = 0;
    // The 16-byte PCM format record, field by field.
    std::uint16_t m_formatTag = 0;
    std::uint16_t m_channels = 0;
    std::uint32_t m_samplesPerSec = 0;
    std::uint32_t m_avgBytesPerSec = 0;
    std::uint16_t m_blockAlign = 0;
    std::uint16_t m_bitsPerSample = 0;
    std::uint32_t m_dataId = 0;
    std::uint32_t m_dataSize = 0;
    // The sample block, exactly as the file holds it; null when the image holds no samples. A
    // data chunk of size 0 gives a block of length 0 that is not null.
    std::unique_ptr<std::uint8_t[]> m_pSamples;
    std::uint32_t m_sampleBytes = 0;

  private:
    // Replaces the sample block by block (bytes long).
    void TakeBlock(std::unique_ptr<std::uint8_t[]> block, std::uint32_t bytes);
    // How the operations take the samples (the format tag and depth).
    samplekernels::SampleEncoding Encoding() const;
    // ApplyGain's scaling and narrowing of wide samples into a new 16-bit block.
    void NarrowWithGain(double factor);
    // Sets the six format fields from format.
    void TakeFormatRecord(const platform::WAVEFORMATEX& format);
    // A new sample block for a transform. When it cannot be had (too large for the RIFF size
    // fields, or out of memory) the image is left without samples, the user is told, and the
    // result is null.
    std::unique_ptr<std::uint8_t[]> NewBlock(std::uint64_t bytes);
};

// The percentage that brings a peak to full scale: 100 / peak, truncated and limited to 1000;
// 0 for a peak of 0.
int ProposePercent(double peak);
// The gain factor of a percentage: percent * 0.01 in double precision (100 gives exactly 1.0).
double GainFactor(int percent);
// The format fields of wide samples narrowed to 16-bit PCM: tag 1, 16 bits, 2 bytes per sample.
platform::WAVEFORMATEX NarrowedFormat(platform::WAVEFORMATEX format);
// The format fields of samples widened from 8 to 16 bits: twice the bytes per frame and second.
platform::WAVEFORMATEX WidenedFormat(platform::WAVEFORMATEX format);
