// CSampleLevels: what is known of a block of samples after one pass over it: its peak and, for
// every whole percentage 0..1000 that the dialog offers, how many samples the gain at that
// percentage clips, so that the percentage box can say so as it changes without looking at the
// samples again.
//
// The pass counts for each sample the smallest percentage at which the gain clips it (1002 bins:
// 0..1000 and never); the count at a percentage is then the sum of the bins up to it. Clipping is
// decided exactly as the gain decides it (ClipsTruncated for 8-bit and 16-bit samples, which are
// first widened to 16 bits, ClipsRounded for wider ones), on the product with GainFactor(percent).
// 8-bit and 16-bit samples are first counted by value (256 or 65536 bins), and each value is
// placed once; wider ones but 64-bit floats by ranges of values, where a range whose ends clip
// first at the same percentage is placed whole and only the samples of the other ranges, a few,
// are placed one by one in a second pass.
//
// Ownership: a value type; Measure borrows the samples for the call.
// Threads: Measure may be called from any thread; it uses a second one on kSplitBytes or more,
// as the peak does. A made object may be read from any number of threads.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "wave/SampleKernels.h"

class CSampleLevels {
  public:
    static constexpr int kMaxPercent = 1000;

    // The levels of no samples: peak 0, nothing clipped.
    CSampleLevels() = default;

    // The levels of the whole samples of the span; the peak is PeakOf's.
    static CSampleLevels Measure(std::span<const std::uint8_t> samples,
                                 samplekernels::SampleEncoding encoding);

    // The peak as a fraction of full scale, as CWaveData::GetPeak gives it.
    double Peak() const { return m_peak; }
    // How many samples the gain at percent (0..1000) clips; 0 for other percentages.
    std::uint64_t ClippedAt(int percent) const;

  private:
    double m_peak = 0.0;
    // m_clippedAt[p]: samples clipped at p percent.
    std::array<std::uint64_t, kMaxPercent + 1> m_clippedAt{};
};
