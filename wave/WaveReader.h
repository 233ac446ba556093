// CWaveReader: the reader of RIFF/WAVE files. It walks a file's chunks up to its data chunk with
// the grammar, the notices and the refusals that CWaveData's reading constructor promises, and
// then copies bytes of the data chunk wherever it is asked to, so that the data can be taken
// whole (the reading constructor) or piece by piece (GainFileInPieces) after the same walk.
//
// Ownership: the reader owns the open file and closes it when destroyed. It borrows the image
// whose fields it fills during its constructor only.
//
// Failures are shown to the user through CWaveData::ShowMessage and ReportTag where they are
// found; the caller learns of them from the results below.
//
// Threads: one thread at a time, except that any number of threads may read data at once with
// ReadDataQuietly().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

class CWaveData;

class CWaveReader {
  public:
    // Opens the file at path (bytes as the system gives them) and walks its chunks, filling
    // image's header fields, format fields, m_dataId and m_dataSize as they are read; the sample
    // block and m_sampleBytes are left alone. When the file holds no data chunk that can be read
    // the user has been told why and HasData() is false.
    CWaveReader(const char* path, CWaveData& image);
    ~CWaveReader();
    CWaveReader(const CWaveReader&) = delete;
    CWaveReader& operator=(const CWaveReader&) = delete;

    bool HasData() const { return m_dataBytes.has_value(); }
    // The length of the data chunk's body; 0 when HasData() is false.
    std::uint32_t DataBytes() const { return m_dataBytes.value_or(0); }
    // Where the data chunk's body starts in the file.
    std::uint64_t DataOffset() const { return m_dataOffset; }

    // Copies bytes [offset, offset + out.size()) of the data chunk into out. When the file cannot
    // be read, or no longer holds those bytes, the user is told and the result is false.
    bool ReadData(std::uint64_t offset, std::span<std::uint8_t> out) const;

    enum class ReadResult {
        kRead,
        kFailed,   // the system could not read the file
        kMissing,  // the file does not hold the bytes (any more)
    };
    // ReadData without a word to the user; Report() tells what ReadData would have told.
    ReadResult ReadDataQuietly(std::uint64_t offset, std::span<std::uint8_t> out) const;
    static void Report(ReadResult result);

  private:
    class FileCursor;
    // Walks the chunks; the position of the data chunk's body, or nothing after a report.
    std::optional<std::uint64_t> WalkChunks(CWaveData& image);

    int m_fd = -1;
    std::unique_ptr<FileCursor> m_cursor;
    std::uint64_t m_dataOffset = 0;
    std::optional<std::uint32_t> m_dataBytes;
};
