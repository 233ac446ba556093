#include "playback/WaveBufferPool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "playback/PrivateHeap.h"

namespace {

const std::string kAllocationFailed = "バッファの確保に失敗しました。";

bool AllBytesAre(const std::uint8_t* pBytes, std::size_t count, std::uint8_t value) {
    return std::all_of(pBytes, pBytes + count, [value](std::uint8_t b) { return b == value; });
}

bool IsZeroHeader(const platform::WAVEHDR& header) {
    return header.lpData == nullptr && header.dwBufferLength == 0 && header.dwUser == 0 &&
           header.dwFlags.load() == 0 && header.dwLoops == 0;
}

class BufferPoolTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // A failure that a test armed but did not use must not reach the next test.
        CPrivateHeap::FailAllocationForTesting(-1);
    }

    testsupport::MessageCapture m_messages;
};

TEST_F(BufferPoolTest, EightBuffersOf4096BytesAreObtainedZeroFilled) {
    CWaveBufferPool pool(4096, 8);

    EXPECT_TRUE(pool.IsReady());
    EXPECT_TRUE(pool.m_ready);
    EXPECT_NE(pool.m_hHeap, nullptr);
    EXPECT_EQ(pool.m_bufferBytes, 4096);
    EXPECT_EQ(pool.m_bufferCount, 8);
    EXPECT_TRUE(m_messages.Messages().empty());

    std::set<const void*> distinct;
    for (std::int32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        ASSERT_NE(pool.Header(i), nullptr);
        ASSERT_NE(pool.Buffer(i), nullptr);
        EXPECT_EQ(pool.Header(i), pool.m_pHeaders[static_cast<std::size_t>(i)]);
        EXPECT_EQ(pool.Buffer(i), pool.m_pBuffers[static_cast<std::size_t>(i)]);
        EXPECT_TRUE(IsZeroHeader(*pool.Header(i)));
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0));
        distinct.insert(pool.Header(i));
        distinct.insert(pool.Buffer(i));
    }
    EXPECT_EQ(distinct.size(), 16u);

    // Every buffer is 4096 bytes of its own: filling each with its own value shows no overlap
    // with another buffer or with a header.
    for (std::int32_t i = 0; i < 8; ++i) {
        std::memset(pool.Buffer(i), 0x10 + i, 4096);
    }
    for (std::int32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, static_cast<std::uint8_t>(0x10 + i)));
        EXPECT_TRUE(IsZeroHeader(*pool.Header(i)));
    }
}

TEST_F(BufferPoolTest, EmptyPoolIsReadyAndZeroBuffersDoesNothing) {
    CWaveBufferPool pool(4096, 0);
    EXPECT_TRUE(pool.IsReady());
    EXPECT_EQ(pool.m_bufferCount, 0);
    pool.ZeroBuffers();
    EXPECT_TRUE(pool.IsReady());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, OneFailedAllocationShowsOneMessageAndLeavesThePoolNotReady) {
    // Allocations alternate header i (2i) and buffer i (2i + 1): the first header, a buffer in
    // the middle, a header in the middle and the very last buffer.
    for (const int failing : {0, 5, 8, 15}) {
        SCOPED_TRACE("failing allocation " + std::to_string(failing));
        m_messages.Clear();
        CPrivateHeap::FailAllocationForTesting(failing);
        CWaveBufferPool pool(4096, 8);

        EXPECT_FALSE(pool.IsReady());
        EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{kAllocationFailed});
        for (std::int32_t i = 0; i < 8; ++i) {
            SCOPED_TRACE("pair " + std::to_string(i));
            if (2 * i == failing) {
                EXPECT_EQ(pool.Header(i), nullptr);
            } else {
                ASSERT_NE(pool.Header(i), nullptr);
                EXPECT_TRUE(IsZeroHeader(*pool.Header(i)));
            }
            if (2 * i + 1 == failing) {
                EXPECT_EQ(pool.Buffer(i), nullptr);
            } else {
                ASSERT_NE(pool.Buffer(i), nullptr);
                EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0));
            }
        }
    }
    // The failure happens once: the next pool is whole again.
    m_messages.Clear();
    CWaveBufferPool pool(4096, 8);
    EXPECT_TRUE(pool.IsReady());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, HeapCreationFailureLeavesThePoolNotReadyWithoutAMessage) {
    CPrivateHeap::FailNextCreateForTesting();
    {
        CWaveBufferPool pool(4096, 8);
        EXPECT_FALSE(pool.IsReady());
        EXPECT_EQ(pool.m_hHeap, nullptr);
        EXPECT_EQ(pool.m_bufferCount, 8);
        // Nothing to clear, and nothing is touched.
        pool.ZeroBuffers();
        EXPECT_FALSE(pool.IsReady());
    }
    EXPECT_TRUE(m_messages.Messages().empty());

    // Only the next creation fails.
    CWaveBufferPool pool(4096, 8);
    EXPECT_TRUE(pool.IsReady());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, ZeroBuffersSilencesEveryBufferOfAReadyPool) {
    CWaveBufferPool pool(4096, 8);
    ASSERT_TRUE(pool.IsReady());
    for (std::int32_t i = 0; i < 8; ++i) {
        std::memset(pool.Buffer(i), 0xA5, 4096);
        pool.Header(i)->dwUser = 77;
    }

    pool.ZeroBuffers();

    for (std::int32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("buffer " + std::to_string(i));
        EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0));
        // Only the sample buffers are cleared, not the headers.
        EXPECT_EQ(pool.Header(i)->dwUser, 77u);
    }

    // Odd sizes are cleared over their whole length too.
    CWaveBufferPool odd(4093, 3);
    ASSERT_TRUE(odd.IsReady());
    for (std::int32_t i = 0; i < 3; ++i) {
        std::memset(odd.Buffer(i), 0xFF, 4093);
    }
    odd.ZeroBuffers();
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(AllBytesAre(odd.Buffer(i), 4093, 0));
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(BufferPoolTest, ZeroBuffersTouchesNothingOnAPoolThatIsNotReady) {
    CPrivateHeap::FailAllocationForTesting(9);  // buffer 4
    CWaveBufferPool pool(4096, 8);
    ASSERT_FALSE(pool.IsReady());
    ASSERT_EQ(pool.Buffer(4), nullptr);
    for (std::int32_t i = 0; i < 8; ++i) {
        if (pool.Buffer(i) != nullptr) {
            std::memset(pool.Buffer(i), 0x5A, 4096);
        }
    }

    pool.ZeroBuffers();

    for (std::int32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("buffer " + std::to_string(i));
        if (i != 4) {
            EXPECT_TRUE(AllBytesAre(pool.Buffer(i), 4096, 0x5A));
        }
    }
    EXPECT_EQ(m_messages.Messages(), std::vector<std::string>{kAllocationFailed});
}

// Runs in a child process: a pool that overruns its pointer arrays would take the test run down
// with it. Its memory and time are capped, so that such a pool fails the test quickly instead.
void BuildPoolWithNegativeCountAndExit() {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto pageBytes = static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const rlimit limit{static_cast<rlim_t>(pages) * pageBytes + (rlim_t{64} << 20),
                       static_cast<rlim_t>(pages) * pageBytes + (rlim_t{64} << 20)};
    ::setrlimit(RLIMIT_AS, &limit);
    ::alarm(2);
    int messages = 0;
    {
        testsupport::MessageCapture capture;
        CWaveBufferPool pool(4096, -1);
        pool.ZeroBuffers();
        messages = static_cast<int>(capture.Messages().size());
        if (!pool.IsReady()) {
            std::_Exit(2);
        }
    }
    std::_Exit(messages == 0 ? 0 : 3);
}

TEST(BufferPoolDeathTest, NegativeCountIsAnEmptyReadyPool) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A count below 1 obtains nothing and is ready, like a count of 0.
    EXPECT_EXIT(BuildPoolWithNegativeCountAndExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
