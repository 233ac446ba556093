#include "RingCursor.h"

CRingCursor::CRingCursor(std::int32_t bufferBytes, std::int32_t bufferCount,
                         const platform::WAVEFORMATEX* pFormat)
    : m_bufferBytes(bufferBytes), m_bufferCount(bufferCount), m_pFormat(pFormat) {}

std::int32_t CRingCursor::FramesPerBuffer() const {
    return m_bufferBytes / static_cast<std::int32_t>(m_pFormat->nBlockAlign);
}

void CRingCursor::SetFrame(std::uint32_t frame) {
    const auto framesPerBuffer = static_cast<std::uint32_t>(FramesPerBuffer());
    m_frame = frame;
    m_index = (frame / framesPerBuffer) % static_cast<std::uint32_t>(m_bufferCount);
    m_offset = frame % framesPerBuffer;
}

void CRingCursor::Assign(const CRingCursor& other) {
    if (&other == this) {
        return;
    }
    m_index = other.m_index;
    m_offset = other.m_offset;
    m_frame = other.m_frame;
}

std::int32_t CRingCursor::DistanceTo(const CRingCursor& other) const {
    const std::int32_t framesPerBuffer = FramesPerBuffer();
    const std::int32_t offsetDifference =
        static_cast<std::int32_t>(other.m_offset) - static_cast<std::int32_t>(m_offset);
    if (other.m_index == m_index) {
        return offsetDifference;
    }
    std::int32_t distance = offsetDifference + framesPerBuffer;
    const auto count = static_cast<std::uint32_t>(m_bufferCount);
    for (std::uint32_t k = 1; k < count; ++k) {
        if ((m_index + k) % count == other.m_index) {
            return distance;
        }
        distance += framesPerBuffer;
    }
    return 0;
}
