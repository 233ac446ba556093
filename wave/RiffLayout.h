// The pieces of the RIFF/WAVE layout that the reader and the writer share: chunk ids, the size of
// the header the writer puts before the samples, the largest sample block such a file can hold,
// and little-endian loads and stores. For the files of wave/ only.
#pragma once

#include <cstdint>
#include <limits>

#include "wave/WaveData.h"

namespace riff {

constexpr std::uint32_t kRiffId = MakeChunkId("RIFF");
constexpr std::uint32_t kWaveId = MakeChunkId("WAVE");
constexpr std::uint32_t kFmtId = MakeChunkId("fmt ");
constexpr std::uint32_t kFactId = MakeChunkId("fact");
constexpr std::uint32_t kDataId = MakeChunkId("data");

// "RIFF", size, "WAVE", a 16-byte format chunk and the data chunk's header.
constexpr std::uint32_t kHeaderBytes = 44;

// The largest sample block whose file size, with a pad byte after an odd block, still fits the
// 32-bit RIFF size fields.
constexpr std::uint32_t kMaxSampleBytes =
    std::numeric_limits<std::uint32_t>::max() - kHeaderBytes - 1;

constexpr bool FitsSampleBlock(std::uint64_t bytes) {
    return bytes <= kMaxSampleBytes;
}

inline std::uint16_t LoadLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t LoadLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void StoreLE16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace riff
