#include "playback/RingCursor.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

platform::WAVEFORMATEX WithBlockAlign(std::uint16_t blockAlign) {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nBlockAlign = blockAlign;
    return format;
}

// Buffers of 4096 bytes: with 4-byte frames 1024 frames a buffer, 8192 a turn of 8 buffers.
CRingCursor At(std::uint32_t frame, const platform::WAVEFORMATEX& format,
               std::int32_t bufferCount = 8) {
    CRingCursor cursor(4096, bufferCount, &format);
    cursor.SetFrame(frame);
    return cursor;
}

TEST(RingCursorTest, SetFramePlacesTheCursorAroundTheRing) {
    struct Case {
        std::uint16_t blockAlign;
        std::int32_t bufferCount;
        std::uint32_t frame, index, offset;
    };
    const Case cases[] = {
        {4, 8, 0, 0, 0},
        {4, 8, 1023, 0, 1023},
        {4, 8, 1024, 1, 0},
        {4, 8, 4851, 4, 755},
        {4, 8, 8191, 7, 1023},
        {4, 8, 8192, 0, 0},
        {4, 8, 3 * 8192 + 2053, 2, 5},
        {4, 8, 0xFFFFFFFFu, 7, 1023},
        // 682 six-byte frames fill a buffer; its last 4 bytes are never addressed.
        {6, 8, 681, 0, 681},
        {6, 8, 682, 1, 0},
        {6, 8, 8 * 682, 0, 0},
        {4, 1, 1500, 0, 476},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "frame " << c.frame << ", " << c.blockAlign
                                          << "-byte frames, " << c.bufferCount << " buffers");
        const platform::WAVEFORMATEX format = WithBlockAlign(c.blockAlign);
        const CRingCursor cursor = At(c.frame, format, c.bufferCount);
        EXPECT_EQ(cursor.Index(), c.index);
        EXPECT_EQ(cursor.Offset(), c.offset);
        EXPECT_EQ(cursor.Frame(), c.frame);
    }
}

TEST(RingCursorTest, DistanceGoesForwardAroundTheRing) {
    struct Case {
        const char* what;
        std::uint16_t blockAlign;
        std::int32_t bufferCount;
        std::uint32_t from, to;
        std::int32_t distance;
    };
    const Case cases[] = {
        {"across buffers", 4, 8, 0, 4851, 4851},
        {"from the last buffer into the first", 4, 8, 7 * 1024 + 1000, 24, 48},
        {"the rest of the ring", 4, 8, 24, 7 * 1024 + 1000, 8192 - 48},
        {"over the end of the ring", 4, 8, 8191, 8192, 1},
        {"one buffer behind", 4, 8, 1024, 0, 7 * 1024},
        {"behind in the same buffer", 4, 8, 4 * 1024 + 755, 4 * 1024 + 700, -55},
        {"ahead in the same buffer", 4, 8, 4 * 1024 + 755, 4 * 1024 + 1000, 245},
        {"a whole turn apart", 4, 8, 1000, 1000 + 8192, 0},
        {"five turns apart, backwards", 4, 8, 1000 + 5 * 8192, 1000, 0},
        {"turns between the frames do not count", 4, 8, 5 * 8192 + 100, 2 * 8192 + 1124, 1024},
        {"six-byte frames over the end", 6, 8, 8 * 682 - 1, 0, 1},
        {"six-byte frames across buffers", 6, 8, 100, 3 * 682 + 50, 3 * 682 - 50},
        {"single buffer, behind", 4, 1, 1500, 7 * 1024 + 3, 3 - 476},
        {"single buffer, ahead", 4, 1, 7 * 1024 + 3, 1500, 476 - 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const platform::WAVEFORMATEX format = WithBlockAlign(c.blockAlign);
        EXPECT_EQ(At(c.from, format, c.bufferCount).DistanceTo(At(c.to, format, c.bufferCount)),
                  c.distance);
    }
}

TEST(RingCursorTest, AssignTakesThePlaceButKeepsItsOwnRing) {
    const platform::WAVEFORMATEX wide = WithBlockAlign(4);
    const platform::WAVEFORMATEX narrow = WithBlockAlign(2);
    // 3 buffers of 1000 bytes with 2-byte frames: 500 frames a buffer.
    CRingCursor target(1000, 3, &narrow);
    target.SetFrame(17);

    target.Assign(At(4851, wide));
    EXPECT_EQ(target.Index(), 4u);
    EXPECT_EQ(target.Offset(), 755u);
    EXPECT_EQ(target.Frame(), 4851u);

    // In its own ring 4851 is 9 buffers of 500 (index 0 of 3) and 351 frames.
    target.SetFrame(4851);
    EXPECT_EQ(target.Index(), 0u);
    EXPECT_EQ(target.Offset(), 351u);
}

}  // namespace
