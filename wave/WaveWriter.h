// The wave writer: the file that CWaveData::Write produces, a plain 44-byte RIFF/WAVE header
// followed by the sample bytes, built here for a whole image and for a file written piece by
// piece (GainFileInPieces), so that both give the same bytes.
//
// CWaveFileWriter writes such a file through a CFileReplacement: the header first, then the
// samples in as many pieces as the caller likes, and the file takes the target's place only when
// all the samples announced have been written. Failures are shown to the user once: message 2 by
// Open() when the place cannot hold the file, message 5 by Finish() when the writing failed.
//
// Ownership: the writer owns its replacement; an unfinished writer that is destroyed leaves the
// target as it was and no temporary file behind. Samples are borrowed for the call only.
//
// Threads: one thread at a time per writer; Append() shows no message, so that it may run on a
// thread of its own while the caller's thread goes on reading.
#pragma once

#include <cstdint>
#include <span>

#include "platform/WaveFormat.h"
#include "wave/FileReplace.h"

// Fills the 44 bytes at header with the file header for sampleBytes bytes of samples in format:
// "RIFF", sampleBytes + 36, "WAVE", a 16-byte "fmt " chunk holding the six format fields,
// "data", sampleBytes.
void BuildWaveHeader(const platform::WAVEFORMATEX& format, std::uint32_t sampleBytes,
                     std::uint8_t* header);

class CWaveFileWriter {
  public:
    // Starts the file at path (bytes as the system gives them) for sampleBytes bytes of samples
    // in format. False, after message 2, when the place cannot hold the file.
    bool Open(const char* path, const platform::WAVEFORMATEX& format, std::uint32_t sampleBytes);
    // Appends samples. False when the write fails or the samples would pass the sampleBytes
    // announced; the writer is then good for Finish() only, which reports it.
    bool Append(std::span<const std::uint8_t> samples);
    // Puts the file in the target's place. False, after message 5, when a write failed, not all
    // the samples announced were appended or the file cannot be completed; the target is
    // unchanged then.
    bool Finish();

  private:
    CFileReplacement m_file;
    std::uint32_t m_samplesLeft = 0;
    bool m_open = false;
    bool m_failed = false;
};
