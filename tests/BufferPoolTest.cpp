#include "playback/WaveBufferPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "playback/PrivateHeap.h"

namespace {

using Messages = std::vector<std::string>;

bool AllBytesAre(const std::uint8_t* pBytes, std::int32_t count, std::uint8_t value) {
    return std::all_of(pBytes, pBytes + count, [value](std::uint8_t b) { return b == value; });
}

bool IsBlank(const platform::WAVEHDR& header) {
    return header.lpData == nullptr && header.dwBufferLength == 0 && header.dwUser == 0 &&
           header.dwFlags.load() == 0 && header.dwLoops == 0;
}

class BufferPoolTest : public ::testing::Test {
  protected:
    // A failure armed but not used must not reach the next test.
    void TearDown() override { CPrivateHeap::FailAllocationForTesting(-1); }

    testsupport::MessageCapture m_messages;
};

TEST_F(BufferPoolTest, ReadyPoolHoldsDistinctZeroFilledBuffersAndBlankHeaders) {
    CWaveBufferPool pool(4096, 8);
    ASSERT_TRUE(pool.IsReady());
    std::set<const void*> distinct;
    for (std::int32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        ASSERT_NE(pool.Header(i), nullptr);
        ASSERT_NE(pool.Buffer(i), nullptr);
        EXPECT_TRUE(IsBlank(*pool.Header(i)));
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0));
        distinct.insert({pool.Header(i), pool.Buffer(i)});
    }
    EXPECT_EQ(distinct.size(), 16u);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, CountBelowOneIsAnEmptyReadyPool) {
    for (const std::int32_t count : {0, -1}) {
        SCOPED_TRACE("count " + std::to_string(count));
        CWaveBufferPool pool(4096, count);
        EXPECT_TRUE(pool.IsReady());
        pool.ZeroBuffers();
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, OneFailedAllocationShowsOneMessageAndEveryOtherIsAttempted) {
    // Allocations alternate header i (2i) and buffer i (2i + 1).
    for (const int failing : {0, 5, 8, 15}) {
        SCOPED_TRACE("failing allocation " + std::to_string(failing));
        m_messages.Clear();
        CPrivateHeap::FailAllocationForTesting(failing);
        CWaveBufferPool pool(4096, 8);

        EXPECT_FALSE(pool.IsReady());
        EXPECT_EQ(m_messages.Messages(), Messages{"バッファの確保に失敗しました。"});
        for (std::int32_t i = 0; i < 8; ++i) {
            EXPECT_EQ(pool.Header(i) == nullptr, 2 * i == failing) << "header " << i;
            EXPECT_EQ(pool.Buffer(i) == nullptr, 2 * i + 1 == failing) << "buffer " << i;
            if (pool.Buffer(i) != nullptr) {
                std::memset(pool.Buffer(i), 0x5A, 4096);
            }
        }
        // A pool that is not ready is left alone.
        pool.ZeroBuffers();
        for (std::int32_t i = 0; i < 8; ++i) {
            if (pool.Buffer(i) != nullptr) {
                EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0x5A)) << "buffer " << i;
            }
        }
    }
}

TEST_F(BufferPoolTest, HeapCreationFailureLeavesThePoolNotReadyWithoutAMessage) {
    CPrivateHeap::FailNextCreateForTesting();
    CWaveBufferPool pool(4096, 8);
    EXPECT_FALSE(pool.IsReady());
    pool.ZeroBuffers();
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, ZeroBuffersSilencesEveryWholeBufferAndNoHeader) {
    CWaveBufferPool pool(4093, 3);
    ASSERT_TRUE(pool.IsReady());
    for (std::int32_t i = 0; i < 3; ++i) {
        std::memset(pool.Buffer(i), 0xA5, 4093);
        pool.Header(i)->dwUser = 77;
    }
    pool.ZeroBuffers();
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4093, 0)) << "buffer " << i;
        EXPECT_EQ(pool.Header(i)->dwUser, 77u) << "header " << i;
    }
}

}  // namespace
