// The wave writer: the file that CWaveData::Write produces, a plain 44-byte RIFF/WAVE header
// followed by the whole samples (a trailing part of a sample belongs to no sample and is left
// out) and a pad byte after an odd number of bytes, built here for a whole image and for a file
// written piece by piece (GainFileInPieces), so that both give the same bytes.
//
// CWaveFileWriter writes such a file through a CFileReplacement: the header first, then the
// samples in as many pieces as the caller likes, and the file takes the target's place only when
// all the samples announced have been written. Failures are shown to the user once, with the
// path and the system's reason: by Open() when the format is refused or the place cannot hold
// the file, by Finish() when the writing failed.
//
// Ownership: the writer owns its replacement; an unfinished writer that is destroyed leaves the
// target as it was and no new file behind. Samples are borrowed for the call only.
//
// Threads: one thread at a time per writer; Append() shows no message, so that it may run on a
// thread of its own while the caller's thread goes on reading.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/WaveFormat.h"
#include "wave/FileReplace.h"

// The bytes of the data chunk that the writer makes of sampleBytes bytes of samples of
// bitsPerSample: the whole samples among them.
std::uint32_t WrittenDataBytes(std::uint32_t sampleBytes, std::uint16_t bitsPerSample);

// Fills the 44 bytes at header with the file header for a data chunk of dataBytes in format:
// "RIFF", the size of what follows (with a pad byte after odd data), "WAVE", a 16-byte "fmt "
// chunk holding the six format fields (the byte rate as the layout gives it), "data", dataBytes.
void BuildWaveHeader(const platform::WAVEFORMATEX& format, std::uint32_t dataBytes,
                     std::uint8_t* header);

class CWaveFileWriter {
  public:
    // Starts the file at path (bytes as the system gives them) for sampleBytes bytes of samples
    // in format. False, after the message, when the format's block align or byte rate disagrees
    // with its other fields or the place cannot hold the file.
    bool Open(const char* path, const platform::WAVEFORMATEX& format, std::uint32_t sampleBytes);
    // Appends samples; the bytes past the whole samples announced are left out. False when the
    // write fails or the samples would pass the sampleBytes announced; the writer is then good for
    // Finish() only, which reports it.
    bool Append(std::span<const std::uint8_t> samples);
    // Puts the file in the target's place. False, after the message, when a write failed, not all
    // the samples announced were appended or the file cannot be completed; the target is
    // unchanged then.
    bool Finish();

  private:
    bool Fail(std::uint32_t message, int systemError);

    std::string m_path;
    std::optional<CFileReplacement> m_file;
    std::uint32_t m_samplesLeft = 0;
    std::uint32_t m_dataLeft = 0;
    bool m_padded = false;
    bool m_failed = false;
};
