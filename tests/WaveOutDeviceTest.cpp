#include "playback/WaveOutDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <utility>

#include "TestSupport.h"
#include "platform/MessageLoop.h"
#include "platform/testing/EmulatedWaveOut.h"
#include "platform/testing/FaultInjection.h"

namespace {

using platform::HWAVEOUT;
using platform::WAVEHDR;
using testsupport::Bytes;

// 8 buffers of 4096 bytes: 1024 four-byte frames each.
constexpr std::int32_t kBufferBytes = 4096, kBufferCount = 8, kRingFrames = 8 * 1024;
constexpr std::size_t kRingBytes = std::size_t{kBufferCount} * kBufferBytes;

// No two 16-bit words alike, none silent.
Bytes Pattern(std::size_t bytes, std::uint8_t tag) {
    Bytes pattern(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        pattern[i] = static_cast<std::uint8_t>(i % 2 == 0 ? i / 2 : (i / 2 >> 8) + tag);
    }
    return pattern;
}

// Closed before it is destroyed, whatever the test did.
struct Device final : CWaveOutDevice {
    explicit Device(std::uint16_t align = 4)
        : CWaveOutDevice(platform::WAVE_MAPPER, nullptr, kBufferBytes, kBufferCount),
          m_pcm{.wFormatTag = 1,
                .nSamplesPerSec = 44100,
                .nBlockAlign = align,
                .wBitsPerSample = 16} {
        SetFormat(&m_pcm);
    }
    ~Device() override { Reset(), Close(); }
    WAVEHDR* Header(std::int32_t i) const { return m_pPool->Header(i); }
    Bytes Ring() const {
        Bytes ring;
        for (std::int32_t i = 0; i < kBufferCount; ++i) {
            ring.insert(ring.end(), m_pPool->Buffer(i), m_pPool->Buffer(i) + kBufferBytes);
        }
        return ring;
    }
    const platform::WAVEFORMATEX m_pcm;
};

class WaveOutDeviceTest : public ::testing::Test {
  protected:
    WaveOutDeviceTest() {
        platform::SetWaveOutDriver(&m_driver);
        m_loop.SetWaveDoneHandler([this](HWAVEOUT hWaveOut, WAVEHDR* pHeader) {
            m_notices.emplace_back(hWaveOut, pHeader);
            EXPECT_TRUE(m_pRequeueTo == nullptr || m_pRequeueTo->Requeue(pHeader));
        });
    }
    ~WaveOutDeviceTest() override { platform::SetWaveOutDriver(nullptr); }
    bool OpenAndPrime(CWaveOutDevice& device) { return device.Open(&m_loop) && device.Prime(); }
    // Waits for count notices, then a little longer so that an extra one would show.
    void WaitForNotices(std::size_t count) {
        m_loop.RunUntil([&] { return m_notices.size() >= count; }, std::chrono::seconds(5));
        m_loop.RunUntil([] { return false; }, std::chrono::milliseconds(30));
        ASSERT_EQ(m_notices.size(), count);
    }

    platform::EmulatedWaveOut m_driver{{.latencyFrames = 300}};  // heard 300 frames after taken
    platform::CMessageLoop m_loop;
    testsupport::MessageCapture m_messages;
    std::vector<std::pair<HWAVEOUT, WAVEHDR*>> m_notices;
    CWaveOutDevice* m_pRequeueTo = nullptr;
};

TEST_F(WaveOutDeviceTest, WriteAndClearFramesSplitWrapAndClampToTheRing) {
    struct Case {
        std::uint16_t align;
        std::int32_t index, offset, count, start, landed;  // landed frames from start, wrapping
    };
    for (const Case& c : {Case{4, 3, 1000, 25, 3 * 1024 + 1000, 25},      // into the next buffer
                          Case{4, 7, 1000, 3000, 7 * 1024 + 1000, 3000},  // last into first
                          Case{4, 9, 2000, 3, 8 * 1024 - 1, 3},  // past the last buffer's end
                          Case{4, 3, 100, 9000, 3 * 1024 + 100, kRingFrames},  // over a turn
                          Case{6, 0, 681, 6000, 681, 8 * 682}}) {  // 4 spare bytes a buffer
        SCOPED_TRACE(::testing::Message() << c.index << "/" << c.offset << " x" << c.count);
        Device device(c.align);
        const std::int32_t perBuffer = kBufferBytes / c.align;
        const Bytes source = Pattern(std::size_t(c.count * c.align), 1);
        Bytes expected(kRingBytes, 0);
        for (std::int32_t k = 0; k < c.landed; ++k) {  // frame k lands on frame `at` of the ring
            const std::int32_t at = (c.start + k) % (kBufferCount * perBuffer);
            std::memcpy(
                &expected[std::size_t(at / perBuffer * kBufferBytes + at % perBuffer * c.align)],
                &source[std::size_t(k * c.align)], c.align);
        }
        device.WriteFrames(c.index, c.offset, source.data(), c.count);
        EXPECT_EQ(device.Ring(), expected);
        device.ClearFrames(c.index, c.offset, c.count);
        EXPECT_EQ(device.Ring(), Bytes(kRingBytes, 0)) << "ClearFrames";
    }
}

TEST_F(WaveOutDeviceTest, FailedDeviceCallsShowOneMessageEach) {
    struct Case {
        std::string message;
        std::function<bool(CWaveOutDevice&)> call;
        bool stillOpen;  // a failed close forgets the handle all the same
    };
    const Case cases[] = {
        {"オーディオデバイスがないか、サポートされていないフォーマットです。",
         [&](auto& d) { return m_driver.FailNextQuery(), d.QueryFormat(); }, false},
        {"再生デバイスのオープンに失敗しました。",
         [&](auto& d) { return m_driver.FailNextOpen(), d.Open(&m_loop); }, false},
        {"再生デバイスはオープン済みです。",
         [&](auto& d) { return d.Open(&m_loop) && d.Open(&m_loop); }, true},
        {"再生デバイスのクローズに失敗しました。",
         [&](auto& d) { return d.Open(&m_loop) && (m_driver.FailNextClose(), d.Close()); }, false},
        {"バッファが再生用に準備できませんでした。",
         [&](auto& d) { return d.Open(&m_loop) && (m_driver.FailPrepare(3), d.Prime()); }, true},
        {"バッファを再生キューに登録できませんでした。",
         [&](auto& d) { return d.Open(&m_loop) && (m_driver.FailWrite(3), d.Prime()); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        m_messages.Clear();
        Device device;
        EXPECT_FALSE(c.call(device));
        EXPECT_EQ(m_messages.Messages(), std::vector{c.message});
        EXPECT_EQ(device.Handle() != platform::kNoWaveOut, c.stillOpen);
        device.Reset();
        EXPECT_TRUE(device.Close() && device.Close());
    }
}

TEST_F(WaveOutDeviceTest, PrimeRefusesAPoolThatIsNotReadySilently) {
    faults::FailNextNothrowNew();
    Device device;
    EXPECT_FALSE(OpenAndPrime(device));
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PausedUntilRestartThenEachBufferPlaysInOrderAndIsRequeued) {
    WAVEHDR foreign;  // outlives the device should it be queued there
    Device device;
    ASSERT_TRUE(OpenAndPrime(device));
    m_driver.Advance(kRingFrames);
    EXPECT_TRUE(m_driver.Recording().empty());
    foreign.dwFlags = platform::WHDR_DONE;  // done but not prepared
    EXPECT_FALSE(device.Requeue(&foreign));
    EXPECT_FALSE(device.Requeue(device.Header(2)));  // queued, not yet played
    const Bytes ring = Pattern(kRingBytes, 0x40);
    device.WriteFrames(0, 0, ring.data(), kRingFrames);
    device.Restart();
    m_pRequeueTo = &device;
    for (std::int32_t n = 0; n < 2 * kBufferCount; ++n) {
        m_driver.Advance(1024);  // each buffer is queued again before the device needs it
        ASSERT_NO_FATAL_FAILURE(WaitForNotices(std::size_t(n + 1)));
        EXPECT_EQ(m_notices.back(), std::pair(device.Handle(), device.Header(n % 8))) << n;
    }
    Bytes twice = ring;
    twice.insert(twice.end(), ring.begin(), ring.end());
    EXPECT_EQ(m_driver.Recording(), twice);
    EXPECT_TRUE(m_messages.Messages().empty());
}

// The position is what the device has taken: it does not wait for the latency, stands still
// while the queue is dry (nothing is requeued here) and goes back to 0 only at a reset.
TEST_F(WaveOutDeviceTest, PositionCountsFramesTakenStandsStillWhenDryAndResetsToZero) {
    Device device;
    ASSERT_TRUE(OpenAndPrime(device));
    EXPECT_EQ(device.GetBurst(), 300u + 256u);  // the latency and a period
    device.Restart();
    m_driver.Advance(200);
    EXPECT_EQ(device.GetPosition(), 200u);
    m_driver.Advance(1300);
    EXPECT_EQ(device.GetPosition(), 1500u);
    m_driver.Advance(kRingFrames);
    EXPECT_EQ(device.GetPosition(), std::uint32_t{kRingFrames});
    EXPECT_EQ(m_driver.SilentFrames(), 1500u);
    device.Reset();
    EXPECT_EQ(device.GetPosition(), 0u);
    WaitForNotices(kBufferCount);
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(device.GetPosition(), 0u);
}

TEST_F(WaveOutDeviceTest, PlatformRefusesUnpreparedOrQueuedBuffersAndNeverReusesHandles) {
    WAVEHDR unprepared;
    Device device;
    ASSERT_TRUE(OpenAndPrime(device));
    const HWAVEOUT h = device.Handle();
    EXPECT_EQ(platform::waveOutWrite(h, &unprepared, sizeof(WAVEHDR)), platform::WAVERR_UNPREPARED);
    EXPECT_EQ(platform::waveOutWrite(h, device.Header(0), sizeof(WAVEHDR)),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(platform::waveOutClose(h), platform::WAVERR_STILLPLAYING);
    device.Reset();
    ASSERT_TRUE(device.Close() && device.Open(&m_loop));
    EXPECT_NE(device.Handle(), h);
}

}  // namespace
