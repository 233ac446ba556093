// The sample arithmetic of the wave document, as free functions on spans of sample bytes: the
// peak, the gain, the conversions between 8-bit and 16-bit samples and the doubling of mono into
// stereo; the samples wider than 16 bits have theirs in WideSampleKernels.h, the clip counts in
// SampleLevels.h. Each computation on samples exists here once: CWaveData's transforms run these on
// a whole sample block, and the piece-by-piece file gain (GainFileInPieces) runs them on one piece
// of the data chunk at a time, so both give the same bytes.
//
// Sample bytes are as a wave file holds them: 16-bit samples signed little-endian, 8-bit samples
// unsigned with 128 as silence, channels interleaved. In a span of 16-bit samples a trailing odd
// byte belongs to no sample: it is neither read nor written.
//
// Ownership: the functions borrow their spans for the call only and allocate nothing.
//
// Threads: any thread may call any of them; no other thread may change a span during the call.
// The peak and the gain work on spans of kSplitBytes or more with two threads, the caller's and
// one started and joined within the call (one core alone cannot use the whole of the memory
// bandwidth there; wave_bench shows what it gains). Smaller spans stay on the calling thread, and
// so does everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace samplekernels {

constexpr std::size_t kSplitBytes = std::size_t{16} << 20;

// The kinds of samples the program reads: integer PCM of 8 (unsigned), 16, 24 and 32 bits, and
// IEEE floats of 32 and 64 bits whose full scale is 1.0. Saved files hold 16-bit samples.
enum class SampleEncoding { kPcm8, kPcm16, kPcm24, kPcm32, kFloat32, kFloat64 };

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;

// The encoding of a format tag (after the reader has resolved an extensible record) and depth;
// nothing for a combination the program does not handle.
std::optional<SampleEncoding> EncodingOf(std::uint16_t formatTag, std::uint16_t bitsPerSample);
// The encoding that the operations of an image assume: EncodingOf, or for a combination that no
// reader lets through, 16-bit samples at 16 bits and bytes taken as 8-bit samples otherwise.
SampleEncoding AssumedEncoding(std::uint16_t formatTag, std::uint16_t bitsPerSample);
constexpr std::size_t BytesOf(SampleEncoding encoding) {
    switch (encoding) {
        case SampleEncoding::kPcm8:
            return 1;
        case SampleEncoding::kPcm16:
            return 2;
        case SampleEncoding::kPcm24:
            return 3;
        case SampleEncoding::kPcm32:
        case SampleEncoding::kFloat32:
            return 4;
        case SampleEncoding::kFloat64:
            return 8;
    }
    return 1;
}
// Wider than 16 bits: narrowed, with dither, when the gain is applied.
constexpr bool IsWide(SampleEncoding encoding) {
    return encoding != SampleEncoding::kPcm8 && encoding != SampleEncoding::kPcm16;
}

// Whether the gain clips a product g, in steps of a 16-bit sample: for 8-bit and 16-bit samples,
// whose product is truncated toward zero, when the truncation lies beyond -32768..32767; for
// wider samples, whose product is rounded to the nearest step, when the rounding (before the
// dither) lies beyond it. A NaN is never clipped.
constexpr bool ClipsTruncated(double g) {
    return g >= 32768.0 || g <= -32769.0;
}
constexpr bool ClipsRounded(double g) {
    return g >= 32767.5 || g < -32768.5;
}

// The largest magnitude of the whole samples of the span as a fraction of full scale: for 8 and
// 16 bits PeakFraction(PeakMagnitude()), for wider integers the magnitude over 2^23 or 2^31
// (-full scale gives exactly 1), for floats the largest finite magnitude (which may exceed 1;
// NaN and infinite samples are left out). The largest fraction of several pieces is the whole's.
double PeakOf(std::span<const std::uint8_t> samples, SampleEncoding encoding);

// The largest sample magnitude of the span: for 16 bits 0..32768 (-32768 counts 32768), for any
// other depth every byte is taken as an 8-bit sample and the result is 0..128 (0 counts 128, 255
// counts 127).
std::uint32_t PeakMagnitude(std::span<const std::uint8_t> samples, std::uint16_t bitsPerSample);

// The magnitude as a fraction of full scale: magnitude / 32768 for 16 bits, magnitude / 128 for
// any other depth. The fraction of the largest magnitude of several pieces is that of the whole.
double PeakFraction(std::uint32_t magnitude, std::uint16_t bitsPerSample);

// Writes to scaled every 16-bit sample of samples scaled: the product with factor in double
// precision, truncated toward zero and limited to -32768..32767. factor must be a finite number.
// scaled is either samples itself or a span that does not overlap it; a trailing odd byte is
// copied as it is. Works on min(samples.size(), scaled.size()) bytes.
void ScaleSamples16(std::span<const std::uint8_t> samples, std::span<std::uint8_t> scaled,
                    double factor);
// The same in place.
void ScaleSamples16(std::span<std::uint8_t> samples, double factor);

// How many 16-bit samples of the span ScaleSamples16 with factor clips (ClipsTruncated).
std::uint64_t CountClipped16(std::span<const std::uint8_t> samples, double factor);

// Each 8-bit sample u becomes the 16-bit sample (u - 128) * 256. Works on
// min(narrow.size(), wide.size() / 2) samples; wide is normally twice as long as narrow.
void Widen8To16(std::span<const std::uint8_t> narrow, std::span<std::uint8_t> wide);

// Each 16-bit sample becomes its high byte plus 128, modulo 256 (the low byte is dropped, not
// rounded). Works on min(wide.size() / 2, narrow.size()) samples.
void Narrow16To8(std::span<const std::uint8_t> wide, std::span<std::uint8_t> narrow);

// Each sample of mono becomes two equal samples of stereo, left then right. For 16 bits, when
// stereo is twice as long as mono and mono has a trailing odd byte, the last two bytes of stereo
// become a silent sample. Works on as many samples as both spans hold.
void MonoToStereo8(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo);
void MonoToStereo16(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo);
// The same for samples of sampleBytes bytes each; the bytes of stereo past its whole samples
// become 0.
void MonoToStereoOf(std::span<const std::uint8_t> mono, std::span<std::uint8_t> stereo,
                    std::size_t sampleBytes);

}  // namespace samplekernels
