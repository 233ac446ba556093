// The loudness of a wave file as broadcasters and streaming services measure it (ITU-R BS.1770,
// EBU R128), through libebur128: sample peak, true peak, integrated loudness and loudness range,
// and the gain that brings a file to a target loudness under a true-peak ceiling.
//
// The file is read with the same reader as the piecewise file gain (CWaveReader), in pieces of
// kLoudnessPieceBytes, so memory stays at a few MB whatever the file's size.
//
// Failures are shown to the user where they happen, as the wave document's operations show them;
// the results below only say whether there was one.
//
// Ownership: MeasureFileLoudness owns its libebur128 states and buffers for the call.
//
// Threads: any thread may call these functions, for different files at once. Within a call a
// second thread measures the true peak, the larger part of the work, of part of the file while
// the calling thread measures its loudness (about 400 x real time on two idle cores:
// bench/analyze_bench.sh); it is joined before the call returns, and every message comes from
// the calling thread. The result is the same, to the bit, as one libebur128 state fed the whole
// file in order would give.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

class CWaveData;

// Input bytes per piece (rounded down to whole frames): 2 MiB, about 12 s of 44.1 kHz 16-bit
// stereo. Small enough for two threads to share the true peak's work evenly, large enough that
// the few frames read twice at each piece's start (see Loudness.cpp) cost nothing.
constexpr std::size_t kLoudnessPieceBytes = std::size_t{2} << 20;

struct LoudnessMeasure {
    std::uint64_t frameCount = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint16_t channels = 0;
    // The largest sample magnitude and the largest magnitude between the samples (the signal
    // oversampled four times below 96 kHz, twice below 192 kHz), over all channels, as fractions
    // of full scale; 0 for a file without sound.
    double samplePeakFraction = 0.0;
    double truePeakFraction = 0.0;
    // The gated loudness of the whole file in LUFS; minus infinity when the file holds no 400 ms
    // block above the absolute gate of -70 LUFS (silence, or less than 400 ms of sound). Files
    // longer than 12 hours are measured to 0.1 LU, with libebur128's histogram of the blocks,
    // so that memory stays bounded.
    double integratedLufs = 0.0;
    // The spread of its short-term loudness in LU; 0 when there is too little sound to tell.
    double loudnessRangeLu = 0.0;

    double DurationSeconds() const;
    // The percentage that brings the sample peak to full scale, as the dialog proposes it.
    int ProposedPercent() const;
};

// 20 log10 of a fraction of full scale: dBFS of a sample peak, dBTP of a true peak; minus
// infinity for 0.
double FractionToDecibels(double fraction);
// The gain factor of a gain in dB.
double DecibelsToFactor(double decibels);

// Measures the file at path; nothing when it gives no samples (the user has been told why).
// pieceBytes is the size of the pieces it is read in, kLoudnessPieceBytes but for tests.
std::optional<LoudnessMeasure> MeasureFileLoudness(const char* path,
                                                   std::size_t pieceBytes = kLoudnessPieceBytes);

// Measures an image already in memory, without a word to the user: nothing when it holds no
// samples of a layout that can be measured, when a resource runs out, or once cancel is set
// (checked at each piece, so a cancelled measurement ends within a piece's time). The image must
// stay as it is until the call returns.
std::optional<LoudnessMeasure> MeasureImageLoudness(const CWaveData& image,
                                                    const std::atomic<bool>& cancel);

struct LoudnessGain {
    // What the samples are multiplied by, and the same in dB.
    double factor = 1.0;
    double decibels = 0.0;
    // Whether the true-peak ceiling held the gain below what the target loudness asked for.
    bool limitedByTruePeak = false;
};

// The gain that brings a file of this measure to targetLufs, lowered where needed so that its
// true peak stays at or below ceilingDbtp once the gain is applied and the samples are made 16-bit
// (truncated, or rounded after the dither for wider ones). Nothing when the file's integrated
// loudness is minus infinity: there is no gain that would bring silence to a loudness.
std::optional<LoudnessGain> GainForLoudness(const LoudnessMeasure& measure, double targetLufs,
                                            double ceilingDbtp);
