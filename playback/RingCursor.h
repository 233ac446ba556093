// CRingCursor: a place in the playback ring, as (buffer index, frame offset), computed from an
// absolute frame number; and the forward distance in frames between two places.
//
// The ring is bufferCount buffers of bufferBytes bytes; a buffer holds F = bufferBytes /
// nBlockAlign frames. The owner guarantees bufferCount >= 1 and 1 <= nBlockAlign <= bufferBytes.
//
// Ownership: the format record is borrowed and read at every use; it must outlive the cursor.
// Threads: a cursor is used by one thread at a time.
#pragma once

#include <cstdint>

#include "platform/WaveFormat.h"

class CRingCursor {
  public:
    CRingCursor(std::int32_t bufferBytes, std::int32_t bufferCount,
                const platform::WAVEFORMATEX* pFormat);
    virtual ~CRingCursor() = default;

    void SetFrame(std::uint32_t frame);
    // Takes the other cursor's place; the ring parameters stay this cursor's own.
    void Assign(const CRingCursor& other);
    // Frames from this place forward around the ring to the other's. Negative when the other
    // lies behind this one inside the same buffer; places a whole turn apart are the same place.
    std::int32_t DistanceTo(const CRingCursor& other) const;

    std::uint32_t Index() const { return m_index; }
    std::uint32_t Offset() const { return m_offset; }
    std::uint32_t Frame() const { return m_frame; }

  private:
    std::int32_t FramesPerBuffer() const;

    std::int32_t m_bufferBytes;
    std::int32_t m_bufferCount;
    const platform::WAVEFORMATEX* m_pFormat;
    std::uint32_t m_index = 0;
    std::uint32_t m_offset = 0;
    std::uint32_t m_frame = 0;
};
