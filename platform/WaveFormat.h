// The records that the wave output layer shares with its callers: the playback format and the
// header of one queued buffer, with the field names of the platform these stand in for.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

// The playback format. nBlockAlign is the bytes per frame.
struct WAVEFORMATEX {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
};

// Flags of WAVEHDR::dwFlags.
constexpr std::uint32_t WHDR_DONE = 0x01;
constexpr std::uint32_t WHDR_PREPARED = 0x02;
constexpr std::uint32_t WHDR_INQUEUE = 0x10;

// One buffer of the caller's memory as handed to the device. The caller owns the record and the
// bytes; while the buffer is queued the device reads the bytes and changes dwFlags, so dwFlags
// is atomic. The caller sets lpData, dwBufferLength, dwUser and dwLoops only while the buffer is
// not queued.
struct WAVEHDR {
    std::uint8_t* lpData = nullptr;
    std::uint32_t dwBufferLength = 0;
    std::uintptr_t dwUser = 0;
    std::atomic<std::uint32_t> dwFlags{0};
    std::uint32_t dwLoops = 0;
};

}  // namespace platform
