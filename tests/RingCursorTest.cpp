#include "playback/RingCursor.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

platform::WAVEFORMATEX FormatWithBlockAlign(std::uint16_t blockAlign) {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nBlockAlign = blockAlign;
    return format;
}

// A ring of 8 buffers of 4096 bytes with 4-byte frames: 1024 frames per buffer, 8192 per turn.
constexpr std::int32_t kBufferBytes = 4096;
constexpr std::int32_t kBufferCount = 8;

CRingCursor CursorAt(std::uint32_t frame, const platform::WAVEFORMATEX* pFormat,
                     std::int32_t bufferBytes = kBufferBytes,
                     std::int32_t bufferCount = kBufferCount) {
    CRingCursor cursor(bufferBytes, bufferCount, pFormat);
    cursor.SetFrame(frame);
    return cursor;
}

void ExpectPlace(const CRingCursor& cursor, std::uint32_t index, std::uint32_t offset,
                 std::uint32_t frame) {
    EXPECT_EQ(cursor.Index(), index) << "frame " << frame;
    EXPECT_EQ(cursor.Offset(), offset) << "frame " << frame;
    EXPECT_EQ(cursor.Frame(), frame);
}

TEST(RingCursorTest, NewCursorStandsAtTheStartOfTheRing) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    const CRingCursor cursor(kBufferBytes, kBufferCount, &format);
    ExpectPlace(cursor, 0, 0, 0);
}

TEST(RingCursorTest, SetFramePlacesTheCursorAndWrapsAroundTheRing) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    CRingCursor cursor(kBufferBytes, kBufferCount, &format);

    cursor.SetFrame(0);
    ExpectPlace(cursor, 0, 0, 0);
    cursor.SetFrame(4851);
    ExpectPlace(cursor, 4, 755, 4851);
    cursor.SetFrame(1023);
    ExpectPlace(cursor, 0, 1023, 1023);
    cursor.SetFrame(1024);
    ExpectPlace(cursor, 1, 0, 1024);
    cursor.SetFrame(8191);
    ExpectPlace(cursor, 7, 1023, 8191);
    cursor.SetFrame(8192);
    ExpectPlace(cursor, 0, 0, 8192);
    cursor.SetFrame(3 * 8192 + 2 * 1024 + 5);
    ExpectPlace(cursor, 2, 5, 3 * 8192 + 2 * 1024 + 5);
    // The largest frame number: 4194303 whole buffers (index 7 of the ring) and 1023 frames.
    cursor.SetFrame(0xFFFFFFFFu);
    ExpectPlace(cursor, 7, 1023, 0xFFFFFFFFu);
    // Going back to an earlier frame places the cursor there again.
    cursor.SetFrame(1);
    ExpectPlace(cursor, 0, 1, 1);
}

TEST(RingCursorTest, DistanceGoesForwardAroundTheRing) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);

    EXPECT_EQ(CursorAt(0, &format).DistanceTo(CursorAt(4851, &format)), 4851);
    // From buffer 7 the walk wraps to buffer 0: 24 frames to the end of buffer 7, 24 into 0.
    EXPECT_EQ(CursorAt(7 * 1024 + 1000, &format).DistanceTo(CursorAt(24, &format)), 48);
    // The other way round the distance is the rest of the ring.
    EXPECT_EQ(CursorAt(24, &format).DistanceTo(CursorAt(7 * 1024 + 1000, &format)), 8192 - 48);
    // Neighbouring frames across a buffer boundary and across the end of the ring.
    EXPECT_EQ(CursorAt(1023, &format).DistanceTo(CursorAt(1024, &format)), 1);
    EXPECT_EQ(CursorAt(8191, &format).DistanceTo(CursorAt(8192, &format)), 1);
    // The longest distance: from the start to the last frame of the ring.
    EXPECT_EQ(CursorAt(0, &format).DistanceTo(CursorAt(8191, &format)), 8191);
    // One buffer behind is almost a whole turn ahead.
    EXPECT_EQ(CursorAt(1024, &format).DistanceTo(CursorAt(0, &format)), 7 * 1024);
    // Only the places count, not how many turns lie between the frame numbers.
    EXPECT_EQ(CursorAt(5 * 8192 + 100, &format).DistanceTo(CursorAt(2 * 8192 + 1124, &format)),
              1024);
}

TEST(RingCursorTest, DistanceInsideOneBufferIsTheSignedOffsetDifference) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    const CRingCursor here = CursorAt(4851, &format);  // (4, 755)
    const CRingCursor behind = CursorAt(4 * 1024 + 700, &format);
    const CRingCursor ahead = CursorAt(4 * 1024 + 1000, &format);

    EXPECT_EQ(here.DistanceTo(behind), -55);
    EXPECT_EQ(behind.DistanceTo(here), 55);
    EXPECT_EQ(here.DistanceTo(ahead), 245);
    EXPECT_EQ(here.DistanceTo(here), 0);
    EXPECT_EQ(here.DistanceTo(CursorAt(4851, &format)), 0);
    // The last frame of a buffer seen from its first one, and the other way round.
    EXPECT_EQ(CursorAt(3 * 1024 + 1023, &format).DistanceTo(CursorAt(3 * 1024, &format)), -1023);
    EXPECT_EQ(CursorAt(3 * 1024, &format).DistanceTo(CursorAt(3 * 1024 + 1023, &format)), 1023);
}

TEST(RingCursorTest, PlacesAWholeTurnApartAreTheSamePlace) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    const CRingCursor first = CursorAt(1000, &format);
    const CRingCursor second = CursorAt(9192, &format);

    ExpectPlace(first, 0, 1000, 1000);
    ExpectPlace(second, 0, 1000, 9192);
    EXPECT_EQ(first.DistanceTo(second), 0);
    EXPECT_EQ(second.DistanceTo(first), 0);

    const CRingCursor later = CursorAt(1000 + 5 * 8192, &format);
    EXPECT_EQ(first.DistanceTo(later), 0);
    EXPECT_EQ(later.DistanceTo(second), 0);
}

TEST(RingCursorTest, SingleBufferRingAlwaysMeasuresTheOffsetDifference) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    CRingCursor a(kBufferBytes, 1, &format);
    CRingCursor b(kBufferBytes, 1, &format);

    a.SetFrame(1500);
    ExpectPlace(a, 0, 476, 1500);
    b.SetFrame(1024 * 7 + 3);
    ExpectPlace(b, 0, 3, 1024 * 7 + 3);
    EXPECT_EQ(a.DistanceTo(b), 3 - 476);
    EXPECT_EQ(b.DistanceTo(a), 476 - 3);

    b.SetFrame(1023);
    ExpectPlace(b, 0, 1023, 1023);
    EXPECT_EQ(a.DistanceTo(b), 1023 - 476);
    EXPECT_EQ(a.DistanceTo(a), 0);
}

TEST(RingCursorTest, AssignCopiesThePlaceButNotTheRing) {
    const platform::WAVEFORMATEX wide = FormatWithBlockAlign(4);
    const platform::WAVEFORMATEX narrow = FormatWithBlockAlign(2);
    // The source lives in the 8 x 4096-byte ring with 4-byte frames.
    const CRingCursor source = CursorAt(4851, &wide);
    // The target's ring: 3 buffers of 1000 bytes with 2-byte frames, 500 frames per buffer.
    CRingCursor target(1000, 3, &narrow);
    target.SetFrame(17);

    target.Assign(source);
    ExpectPlace(target, 4, 755, 4851);
    ExpectPlace(source, 4, 755, 4851);

    // Placing the target again uses its own ring: 4851 = 9 buffers of 500 (index 0 of 3) + 351.
    // Had the buffer size, the count or the format been copied, the place would differ.
    target.SetFrame(4851);
    ExpectPlace(target, 0, 351, 4851);
    // Its distances are measured with its own frames per buffer too.
    CRingCursor other(1000, 3, &narrow);
    other.SetFrame(2 * 500 + 10);
    EXPECT_EQ(target.DistanceTo(other), 2 * 500 + 10 - 351);
}

TEST(RingCursorTest, AssigningACursorToItselfChangesNothing) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    CRingCursor cursor = CursorAt(4851, &format);
    cursor.Assign(cursor);
    ExpectPlace(cursor, 4, 755, 4851);
    cursor.SetFrame(8191);
    ExpectPlace(cursor, 7, 1023, 8191);
}

TEST(RingCursorTest, SixByteFramesLeaveTheTailOfEachBufferOut) {
    // 4096 / 6 = 682 frames per buffer; the last 4 bytes of each buffer are not addressed.
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(6);
    CRingCursor cursor(kBufferBytes, kBufferCount, &format);

    cursor.SetFrame(681);
    ExpectPlace(cursor, 0, 681, 681);
    cursor.SetFrame(682);
    ExpectPlace(cursor, 1, 0, 682);
    cursor.SetFrame(4851);
    ExpectPlace(cursor, 7, 77, 4851);
    cursor.SetFrame(8 * 682 - 1);
    ExpectPlace(cursor, 7, 681, 8 * 682 - 1);
    cursor.SetFrame(8 * 682);
    ExpectPlace(cursor, 0, 0, 8 * 682);

    const CRingCursor last = CursorAt(8 * 682 - 1, &format);
    const CRingCursor first = CursorAt(0, &format);
    EXPECT_EQ(last.DistanceTo(first), 1);
    EXPECT_EQ(first.DistanceTo(last), 8 * 682 - 1);
    EXPECT_EQ(CursorAt(681, &format).DistanceTo(CursorAt(682, &format)), 1);
    EXPECT_EQ(CursorAt(100, &format).DistanceTo(CursorAt(3 * 682 + 50, &format)), 3 * 682 - 50);
}

TEST(RingCursorTest, FormatIsReadAtEveryUse) {
    platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    CRingCursor cursor(kBufferBytes, kBufferCount, &format);
    cursor.SetFrame(3000);
    ExpectPlace(cursor, 2, 952, 3000);

    // The record is borrowed: a change to it shows at the next use.
    format.nBlockAlign = 2;  // 2048 frames per buffer
    cursor.SetFrame(3000);
    ExpectPlace(cursor, 1, 952, 3000);
    CRingCursor other(kBufferBytes, kBufferCount, &format);
    other.SetFrame(3 * 2048);
    EXPECT_EQ(cursor.DistanceTo(other), 2 * 2048 - 952);
}

TEST(RingCursorTest, CursorOfAnotherRingIsAtDistanceZero) {
    const platform::WAVEFORMATEX format = FormatWithBlockAlign(4);
    // Index 12 does not exist in a ring of 8 buffers.
    const CRingCursor foreign = CursorAt(12 * 1024 + 5, &format, kBufferBytes, 16);
    ASSERT_EQ(foreign.Index(), 12u);
    EXPECT_EQ(CursorAt(100, &format).DistanceTo(foreign), 0);
}

}  // namespace
