// The gain of a wave file into a new wave file without holding the file in memory: the data
// chunk is worked on in pieces of kPieceBytes, so memory stays at a few MB whatever the file's
// size. The result is, byte for byte and message for message, what reading the file into a
// CWaveData, proposing a percentage for its peak, ApplyGain and Write give: the same reader
// (CWaveReader) takes the header, the same sample kernels work on the pieces and the same writer
// (CWaveFileWriter) makes the file and puts it in place.
//
// Failures are shown to the user where they happen, as the image's operations show them; the
// results below only say whether there was one.
//
// Ownership: the functions own their buffers (at most five pieces) for the call.
//
// Threads: any thread may call them, for different files at once. Within a call a second thread
// measures half of the peak pass of data of two pieces or more. In the gain a second thread writes
// while the calling thread reads and scales 8-bit and 16-bit samples; samples wider than 16 bits
// are read, narrowed and written by the calling thread and a second one, every other piece each,
// in the order of the file. All are joined before the call returns, and every message comes from
// the calling thread. Called by sonorette-gain, the fuzzer, the tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// Input bytes per piece: 1 MiB for 8-bit and 16-bit samples, a little less for wider ones so that
// a piece holds whole frames; whole 16-bit frames (the output pieces of 8-bit input are twice
// as long). Measured end to end (bench/gain_vs_cp.sh), pieces of 512 KiB to 1 MiB, whose buffers
// stay in the cache from one step to the next, were about a tenth faster than pieces of 4 MiB.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// The percentage proposed for the peak of the file at path (ProposePercent), measured piece by
// piece. Nothing when the file gives no samples; the user has been told why.
std::optional<int> ProposeFilePercent(const char* path);

constexpr int kMaxGainPercent = 1000;

// How the gain of a file is chosen.
struct GainChoice {
    enum class Kind {
        kProposed,      // the percentage proposed for the peak (ProposePercent)
        kPercent,       // percent, 0..1000
        kDecibels,      // the factor 10^(decibels / 20)
        kPeakDecibels,  // the factor that brings the peak to decibels dBFS (PeakTargetFactor)
    };
    Kind kind = Kind::kProposed;
    int percent = 100;
    double decibels = 0.0;
};

// What a gain did: the factor (GainFactor of the whole percentage when there was one) and how
// many samples it clipped.
struct GainOutcome {
    double factor = 1.0;
    std::optional<int> percent;
    std::uint64_t clippedSamples = 0;
};

// 10^(decibels / 20): a real factor, not rounded to a whole percentage.
double DecibelFactor(double decibels);
// The factor that brings peak (a fraction of full scale) to decibels dBFS, limited to the
// factor of kMaxGainPercent as the proposal is; 0 for a peak of 0.
double PeakTargetFactor(double peak, double decibels);

// Whether choice needs the peak of the file.
bool NeedsPeak(const GainChoice& choice);
// The gain that choice gives for a file of peak (ignored when not NeedsPeak); nothing clipped.
GainOutcome ChooseGain(const GainChoice& choice, double peak);

// Writes to output the file at input with its samples scaled as choice says, one more pass over
// the data before any writing when the peak is needed. Nothing when the file could not be read or
// written; the user has been told why, and an existing output is unchanged.
std::optional<GainOutcome> GainFile(const char* input, const char* output,
                                    const GainChoice& choice);

// Writes to output the file at input with its samples scaled by percent, or by the percentage
// proposed for its peak when percent is empty (one more pass over the data, before any writing).
// Gives the percentage used, or nothing when the file could not be read or written; the user has
// been told why, and an existing output is unchanged.
std::optional<int> GainFileInPieces(const char* input, const char* output,
                                    std::optional<int> percent);
