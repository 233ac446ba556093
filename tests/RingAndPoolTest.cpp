#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "TestSupport.h"
#include "platform/testing/FaultInjection.h"
#include "playback/RingCursor.h"
#include "playback/WaveBufferPool.h"

namespace {

platform::WAVEFORMATEX Align(std::uint16_t blockAlign) {
    return {.nBlockAlign = blockAlign};
}

// Buffers of 4096 bytes: with 4-byte frames 1024 a buffer, 8192 a turn of 8 buffers.
CRingCursor At(std::uint32_t frame, const platform::WAVEFORMATEX& format, std::int32_t count = 8) {
    CRingCursor cursor(4096, count, &format);
    cursor.SetFrame(frame);
    return cursor;
}

TEST(RingCursorTest, SetFramePlacesAndDistanceGoesForwardAroundTheRing) {
    struct Case {
        std::uint16_t align;
        std::int32_t count;
        std::uint32_t from, index, offset, to;
        std::int32_t distance;
    };
    const Case cases[] = {
        {4, 8, 4851, 4, 755, 4851 + 245, 245},        // ahead in the same buffer
        {4, 8, 4851, 4, 755, 4851 - 55, -55},         // behind in the same buffer
        {4, 8, 1024, 1, 0, 0, 7 * 1024},              // one buffer behind
        {4, 8, 8191, 7, 1023, 8192 + 24, 25},         // over the end of the ring
        {4, 8, 3 * 8192 + 2053, 2, 5, 2053, 0},       // whole turns apart
        {4, 8, 0xFFFFFFFFu, 7, 1023, 0, 1},           // the last frame number
        {6, 8, 682, 1, 0, 8 * 682 - 1, 7 * 682 - 1},  // six-byte frames: 682 a buffer
        {4, 1, 1500, 0, 476, 7 * 1024 + 3, 3 - 476},  // a single buffer, behind
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.from << " to " << c.to);
        const platform::WAVEFORMATEX format = Align(c.align);
        const CRingCursor from = At(c.from, format, c.count);
        EXPECT_EQ(std::pair(from.Index(), from.Offset()), std::pair(c.index, c.offset));
        EXPECT_EQ(from.DistanceTo(At(c.to, format, c.count)), c.distance);
    }
}

TEST(RingCursorTest, AssignTakesThePlaceButKeepsItsOwnRing) {
    const platform::WAVEFORMATEX wide = Align(4), narrow = Align(2);
    CRingCursor target(1000, 3, &narrow);  // 500 frames a buffer
    target.Assign(At(4851, wide));
    EXPECT_EQ(std::pair(target.Index(), target.Offset()), std::pair(4u, 755u));
    EXPECT_EQ(target.Frame(), 4851u);
    target.SetFrame(4851);  // 9 buffers of 500 and 351 frames
    EXPECT_EQ(std::pair(target.Index(), target.Offset()), std::pair(0u, 351u));
}

bool AllBytesAre(const std::uint8_t* pBytes, std::int32_t count, std::uint8_t value) {
    return std::all_of(pBytes, pBytes + count, [value](std::uint8_t b) { return b == value; });
}

class BufferPoolTest : public ::testing::Test {
  protected:
    void TearDown() override { faults::FailCalloc(-1); }  // an unused failure
    testsupport::MessageCapture m_messages;
};

TEST_F(BufferPoolTest, ReadyPoolHoldsSeparateSilentBuffersThatZeroBuffersSilencesAgain) {
    CWaveBufferPool pool(4093, 3);
    ASSERT_TRUE(pool.IsReady());
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4093, 0)) << i;
        EXPECT_EQ(pool.Header(i)->lpData, nullptr) << i;
        std::memset(pool.Buffer(i), 0xA5, 4093);  // overlapping buffers would spoil each other
    }
    pool.ZeroBuffers();
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4093, 0)) << i;
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, AFailedAllocationShowsOneMessageAndZeroBuffersLeavesThePoolAlone) {
    for (const int failing : {0, 15}) {  // allocations alternate header i and buffer i
        SCOPED_TRACE(failing);
        m_messages.Clear();
        faults::FailCalloc(failing);
        CWaveBufferPool pool(4096, 8);
        EXPECT_FALSE(pool.IsReady());
        EXPECT_EQ(m_messages.Messages(),
                  std::vector<std::string>{"バッファの確保に失敗しました。"});
        EXPECT_NE(pool.Buffer(failing == 0 ? 7 : 0), nullptr);  // every other one is attempted
        std::memset(pool.Buffer(3), 0x5A, 4096);
        pool.ZeroBuffers();
        EXPECT_TRUE(AllBytesAre(pool.Buffer(3), 4096, 0x5A));
    }
}

TEST_F(BufferPoolTest, HeapCreationFailureLeavesThePoolNotReadyWithoutAMessage) {
    faults::FailNextNothrowNew();
    CWaveBufferPool pool(4096, 8);
    EXPECT_FALSE(pool.IsReady());
    pool.ZeroBuffers();
    EXPECT_TRUE(m_messages.Messages().empty());
}

}  // namespace
