#include "playback/WaveOutDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/MessageLoop.h"
#include "platform/WaveOut.h"
#include "playback/PrivateHeap.h"

namespace {

using platform::EmulatedWaveOut;
using platform::HWAVEOUT;
using platform::MMSYSERR_NOERROR;
using platform::WAVEHDR;
using testsupport::Bytes;
using Messages = std::vector<std::string>;

const std::string kQueryFailed =
    "オーディオデバイスがないか、サポートされていないフォーマットです。";
const std::string kAlreadyOpen = "再生デバイスはオープン済みです。";
const std::string kOpenFailed = "再生デバイスのオープンに失敗しました。";
const std::string kCloseFailed = "再生デバイスのクローズに失敗しました。";
const std::string kPrimePrepareFailed = "バッファが再生用に準備できませんでした。";
const std::string kRequeuePrepareFailed = "バッファを再生用に準備できませんでした。";
const std::string kQueueFailed = "バッファを再生キューに登録できませんでした。";

// The main window's ring: 8 buffers of 4096 bytes, 1024 four-byte frames each.
constexpr std::int32_t kBufferBytes = 4096;
constexpr std::int32_t kBufferCount = 8;
constexpr std::int32_t kFramesPerBuffer = 1024;
constexpr std::int32_t kRingFrames = kBufferCount * kFramesPerBuffer;
constexpr std::size_t kRingBytes = std::size_t{kBufferCount} * kBufferBytes;
constexpr std::uint32_t kHeaderBytes = sizeof(WAVEHDR);
constexpr std::uint32_t kQueued = platform::WHDR_PREPARED | platform::WHDR_INQUEUE;

platform::WAVEFORMATEX Pcm(std::uint16_t blockAlign = 4) {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nSamplesPerSec = 44100;
    format.nBlockAlign = blockAlign;
    format.wBitsPerSample = static_cast<std::uint16_t>(4 * blockAlign);
    return format;
}

// Numbered 16-bit words: no two words of one pattern alike, none of them silent.
Bytes Pattern(std::size_t bytes, std::uint8_t tag) {
    Bytes pattern(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::size_t word = i / 2;
        pattern[i] = static_cast<std::uint8_t>(i % 2 == 0 ? word : (word >> 8) + tag);
    }
    return pattern;
}

Bytes Ring(const CWaveOutDevice& device) {
    Bytes ring;
    for (std::int32_t i = 0; i < device.m_pPool->m_bufferCount; ++i) {
        const std::uint8_t* pBuffer = device.m_pPool->Buffer(i);
        ring.insert(ring.end(), pBuffer, pBuffer + device.m_pPool->m_bufferBytes);
    }
    return ring;
}

struct Notice {
    HWAVEOUT handle;
    WAVEHDR* pHeader;
};

class EmulatedOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallDriver(EmulatedWaveOut::Options{});
        m_loop.SetWaveDoneHandler([this](HWAVEOUT hWaveOut, WAVEHDR* pHeader) {
            m_notices.push_back({hWaveOut, pHeader});
            if (m_pRequeueTo != nullptr) {
                m_requeueResults.push_back(m_pRequeueTo->Requeue(pHeader));
            }
        });
    }

    void TearDown() override {
        m_pRequeueTo = nullptr;
        for (const auto& pDevice : m_devices) {
            pDevice->Reset();
            pDevice->Close();
        }
        platform::SetWaveOutDriver(nullptr);
    }

    // Only before a device is opened.
    void InstallDriver(const EmulatedWaveOut::Options& options) {
        platform::SetWaveOutDriver(nullptr);
        m_pDriver = std::make_unique<EmulatedWaveOut>(options);
        platform::SetWaveOutDriver(m_pDriver.get());
    }

    CWaveOutDevice& NewDevice() {
        return *m_devices.emplace_back(std::make_unique<CWaveOutDevice>(
            platform::WAVE_MAPPER, &m_format, kBufferBytes, kBufferCount));
    }

    // Open and primed, so still paused.
    CWaveOutDevice& PrimedDevice() {
        CWaveOutDevice& device = NewDevice();
        EXPECT_TRUE(device.Open(&m_loop));
        EXPECT_TRUE(device.Prime());
        return device;
    }

    bool WaitForNotices(std::size_t count) {
        return m_loop.RunUntil([&] { return m_notices.size() >= count; }, std::chrono::seconds(5));
    }

    // Runs the loop a little longer, so that a notice that should not come would show.
    void Settle() {
        m_loop.RunUntil([] { return false; }, std::chrono::milliseconds(30));
    }

    std::unique_ptr<EmulatedWaveOut> m_pDriver;
    platform::CMessageLoop m_loop;
    testsupport::MessageCapture m_messages;
    const platform::WAVEFORMATEX m_format = Pcm();
    std::vector<Notice> m_notices;
    CWaveOutDevice* m_pRequeueTo = nullptr;
    std::vector<bool> m_requeueResults;
    std::vector<std::unique_ptr<CWaveOutDevice>> m_devices;
};

class WaveOutDeviceTest : public EmulatedOutputTest {};
class WaveOutTest : public EmulatedOutputTest {};

TEST_F(WaveOutDeviceTest, WriteAndClearFramesSplitWrapAndClampToTheRing) {
    struct Case {
        const char* what;
        std::uint16_t blockAlign;
        std::int32_t index, offset, count;
        // Where the frames land: from this frame of the ring on, this many, wrapping at its end.
        std::int32_t start, landed;
    };
    const Case cases[] = {
        {"a whole buffer", 4, 5, 0, 1024, 5 * 1024, 1024},
        {"to the end of a buffer exactly", 4, 3, 1000, 24, 3 * 1024 + 1000, 24},
        {"one frame into the next buffer", 4, 3, 1000, 25, 3 * 1024 + 1000, 25},
        {"over whole buffers", 4, 2, 500, 3000, 2 * 1024 + 500, 3000},
        {"from the last buffer into the first", 4, 7, 1000, 100, 7 * 1024 + 1000, 100},
        {"no frames", 4, 4, 10, 0, 0, 0},
        {"index past the ring", 4, 9, 0, 10, 7 * 1024, 10},
        {"offset past the buffer", 4, 0, 2000, 3, 1023, 3},
        {"more frames than the ring", 4, 3, 100, 9000, 3 * 1024 + 100, kRingFrames},
        {"everything past", 4, 9, 2000, 9000, kRingFrames - 1, kRingFrames},
        // 682 six-byte frames a buffer: its last 4 bytes are never touched.
        {"six-byte frames, more than the ring", 6, 0, 0, 6000, 0, 8 * 682},
        {"six-byte frames over a buffer end", 6, 0, 681, 2, 681, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const platform::WAVEFORMATEX format = Pcm(c.blockAlign);
        CWaveOutDevice device(platform::WAVE_MAPPER, &format, kBufferBytes, kBufferCount);
        const std::size_t frameBytes = c.blockAlign;
        const std::int32_t framesPerBuffer = kBufferBytes / c.blockAlign;
        auto landed = [&](Bytes ring, const std::uint8_t* pFrames) {
            for (std::int32_t k = 0; k < c.landed; ++k) {
                const std::int32_t place = (c.start + k) % (kBufferCount * framesPerBuffer);
                const auto at = static_cast<std::size_t>(place / framesPerBuffer * kBufferBytes) +
                                static_cast<std::size_t>(place % framesPerBuffer) * frameBytes;
                std::memcpy(ring.data() + at, pFrames + static_cast<std::size_t>(k) * frameBytes,
                            frameBytes);
            }
            return ring;
        };
        const Bytes source = Pattern(static_cast<std::size_t>(c.count) * frameBytes, 1);
        device.WriteFrames(c.index, c.offset, source.data(), c.count);
        EXPECT_EQ(Ring(device), landed(Bytes(kRingBytes, 0), source.data())) << "WriteFrames";

        const Bytes full = Pattern(kRingBytes, 9);
        for (std::int32_t i = 0; i < kBufferCount; ++i) {
            std::memcpy(device.m_pPool->Buffer(i), &full[static_cast<std::size_t>(i) * 4096], 4096);
        }
        device.ClearFrames(c.index, c.offset, c.count);
        EXPECT_EQ(Ring(device), landed(full, Bytes(source.size(), 0).data())) << "ClearFrames";
    }
}

TEST_F(WaveOutDeviceTest, FailedQueryOpenAndCloseShowOneMessageEach) {
    struct Case {
        std::string message;
        bool openFirst;
        void (EmulatedWaveOut::*fail)();
        bool (*call)(CWaveOutDevice&, platform::CMessageLoop&);
        // Whether the device keeps its handle: a failed close forgets it all the same.
        bool stillOpen;
    };
    const Case cases[] = {
        {kQueryFailed, false, &EmulatedWaveOut::FailNextQuery,
         [](CWaveOutDevice& d, platform::CMessageLoop&) { return d.QueryFormat(); }, false},
        {kOpenFailed, false, &EmulatedWaveOut::FailNextOpen,
         [](CWaveOutDevice& d, platform::CMessageLoop& l) { return d.Open(&l); }, false},
        {kAlreadyOpen, true, nullptr,
         [](CWaveOutDevice& d, platform::CMessageLoop& l) { return d.Open(&l); }, true},
        {kCloseFailed, true, &EmulatedWaveOut::FailNextClose,
         [](CWaveOutDevice& d, platform::CMessageLoop&) { return d.Close(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        m_messages.Clear();
        CWaveOutDevice& device = NewDevice();
        if (c.openFirst) {
            ASSERT_TRUE(device.Open(&m_loop));
        }
        const HWAVEOUT before = device.Handle();
        if (c.fail != nullptr) {
            (m_pDriver.get()->*c.fail)();
        }
        EXPECT_FALSE(c.call(device, m_loop));
        EXPECT_EQ(device.Handle(), c.stillOpen ? before : platform::kNoWaveOut);
        EXPECT_EQ(m_pDriver->OpenDevices(), c.stillOpen ? 1 : 0);
        EXPECT_TRUE(device.Close());
        EXPECT_EQ(m_messages.Messages(), Messages{c.message});
    }
}

TEST_F(WaveOutDeviceTest, PrimeStopsAtTheFirstBufferThatFailsAndShowsWhy) {
    struct Case {
        void (EmulatedWaveOut::*fail)(int);
        std::string message;
        std::uint32_t failedFlags;
    };
    const Case cases[] = {{&EmulatedWaveOut::FailPrepare, kPrimePrepareFailed, 0},
                          {&EmulatedWaveOut::FailWrite, kQueueFailed, platform::WHDR_PREPARED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        m_messages.Clear();
        CWaveOutDevice& device = NewDevice();
        ASSERT_TRUE(device.Open(&m_loop));
        (m_pDriver.get()->*c.fail)(3);
        EXPECT_FALSE(device.Prime());
        EXPECT_EQ(m_messages.Messages(), Messages{c.message});
        for (std::int32_t i = 0; i < kBufferCount; ++i) {
            const std::uint32_t flags = i < 3 ? kQueued : i == 3 ? c.failedFlags : 0;
            EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), flags) << "header " << i;
        }
    }
}

TEST_F(WaveOutDeviceTest, PrimeRefusesAPoolThatIsNotReadySilently) {
    CPrivateHeap::FailNextCreateForTesting();
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    EXPECT_FALSE(device.Prime());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PrimedRingIsSilentAndPausedThenPlaysInOrderOnceWithOneNoticeEach) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    const Bytes stale = Pattern(kRingBytes, 0x11);
    device.WriteFrames(0, 0, stale.data(), kRingFrames);
    ASSERT_TRUE(device.Prime());
    EXPECT_EQ(Ring(device), Bytes(kRingBytes, 0));
    m_pDriver->Advance(kRingFrames);
    EXPECT_TRUE(m_pDriver->Recording().empty());
    EXPECT_EQ(device.GetPosition(), 0u);

    // What the queued buffers hold when the device reaches them is what is heard.
    const Bytes ring = Pattern(kRingBytes, 0x40);
    device.WriteFrames(0, 0, ring.data(), kRingFrames);
    device.Restart();
    m_pDriver->Advance(kFramesPerBuffer / 2);
    Settle();
    EXPECT_TRUE(m_notices.empty());
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording(), ring);
    // Dry since the end of the ring: the position holds there.
    EXPECT_EQ(device.GetPosition(), std::uint32_t{kRingFrames});

    ASSERT_TRUE(WaitForNotices(kBufferCount));
    Settle();
    ASSERT_EQ(m_notices.size(), std::size_t{kBufferCount});
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        const Notice& notice = m_notices[static_cast<std::size_t>(i)];
        EXPECT_EQ(notice.handle, device.Handle()) << i;
        EXPECT_EQ(notice.pHeader, device.m_pPool->Header(i)) << i;
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, RequeuedBuffersKeepTheRingCyclingWithTheirContentUntouched) {
    CWaveOutDevice& device = PrimedDevice();
    const Bytes ring = Pattern(kRingBytes, 0x40);
    device.WriteFrames(0, 0, ring.data(), kRingFrames);
    device.Restart();
    m_pRequeueTo = &device;
    // One buffer at a time, so that each is queued again before the device needs it.
    const std::size_t total = 3 * kBufferCount;
    for (std::size_t n = 0; n < total; ++n) {
        m_pDriver->Advance(kFramesPerBuffer);
        ASSERT_TRUE(WaitForNotices(n + 1)) << "buffer " << n;
    }
    Settle();

    ASSERT_EQ(m_notices.size(), total);
    for (std::size_t n = 0; n < total; ++n) {
        EXPECT_EQ(m_notices[n].pHeader, device.m_pPool->Header(static_cast<int>(n % 8))) << n;
    }
    EXPECT_EQ(m_requeueResults, std::vector<bool>(total, true));
    Bytes expected;
    for (int turn = 0; turn < 3; ++turn) {
        expected.insert(expected.end(), ring.begin(), ring.end());
    }
    EXPECT_EQ(m_pDriver->Recording(), expected);
    EXPECT_EQ(m_pDriver->SilentFrames(), 0u);
    EXPECT_EQ(Ring(device), ring);
    EXPECT_EQ(device.GetPosition(), 3u * kRingFrames);
}

TEST_F(WaveOutDeviceTest, RequeueRefusesUnfinishedHeadersSilentlyAndShowsItsOwnFailures) {
    CWaveOutDevice& device = PrimedDevice();
    for (const std::uint32_t flags : {0u, platform::WHDR_DONE, platform::WHDR_PREPARED}) {
        // Another device's header, so that it outlives this device should it be queued.
        WAVEHDR* pHeader = NewDevice().m_pPool->Header(0);
        pHeader->dwFlags = flags;
        EXPECT_FALSE(device.Requeue(pHeader)) << "flags " << flags;
        EXPECT_EQ(pHeader->dwFlags.load(), flags);
    }
    EXPECT_FALSE(device.Requeue(device.m_pPool->Header(2)));  // queued, not yet played
    EXPECT_TRUE(m_messages.Messages().empty());
    // Nothing was added or queued twice: the ring plays once and runs dry.
    device.Restart();
    m_pDriver->Advance(kRingFrames + 500);
    EXPECT_EQ(m_pDriver->Recording().size(), kRingBytes);

    m_pDriver->FailWrite(0);
    EXPECT_FALSE(device.Requeue(device.m_pPool->Header(0)));
    EXPECT_EQ(m_messages.Messages(), Messages{kQueueFailed});
    // The buffer is still offered to the queue, which refuses it unprepared.
    m_messages.Clear();
    m_pDriver->FailPrepare(0);
    EXPECT_FALSE(device.Requeue(device.m_pPool->Header(1)));
    EXPECT_EQ(m_messages.Messages(), (Messages{kRequeuePrepareFailed, kQueueFailed}));
}

TEST_F(WaveOutDeviceTest, ResetHandsEveryBufferBackBeforeReturning) {
    CWaveOutDevice& device = PrimedDevice();
    device.Restart();
    m_pRequeueTo = &device;
    // Buffer 0 finishes and is queued again behind the others; buffer 1 is under way.
    m_pDriver->Advance(1500);
    ASSERT_TRUE(WaitForNotices(1));
    EXPECT_EQ(device.GetPosition(), 1500u);

    device.Reset();
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), platform::WHDR_DONE) << i;
    }
    EXPECT_EQ(device.GetPosition(), 0u);
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording().size(), 1500u * 4);

    ASSERT_TRUE(WaitForNotices(1 + kBufferCount));
    Settle();
    ASSERT_EQ(m_notices.size(), 1u + kBufferCount);
    std::set<WAVEHDR*> reported;
    for (std::size_t n = 1; n < m_notices.size(); ++n) {
        EXPECT_EQ(m_notices[n].handle, device.Handle());
        reported.insert(m_notices[n].pHeader);
    }
    EXPECT_EQ(reported.size(), std::size_t{kBufferCount});
    std::vector<bool> requeued(1 + kBufferCount, false);
    requeued[0] = true;
    EXPECT_EQ(m_requeueResults, requeued);
    EXPECT_TRUE(device.Close());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PositionTrailsByTheLatencyAndIsZeroWhileClosed) {
    EmulatedWaveOut::Options options;
    options.latencyFrames = 300;
    InstallDriver(options);
    CWaveOutDevice& device = NewDevice();
    EXPECT_EQ(device.GetPosition(), 0u);
    ASSERT_TRUE(device.Open(&m_loop));
    ASSERT_TRUE(device.Prime());
    device.Restart();
    struct Step {
        std::uint32_t advance, position;
    };
    for (const Step step : {Step{200, 0}, Step{100, 0}, Step{1, 1}, Step{999, 1000}}) {
        m_pDriver->Advance(step.advance);
        EXPECT_EQ(device.GetPosition(), step.position) << "after " << step.advance << " more";
    }
    device.Reset();
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(device.GetPosition(), 0u);
}

TEST_F(WaveOutTest, QueueRefusesUnpreparedAndQueuedHeaders) {
    CWaveOutDevice& device = PrimedDevice();
    const HWAVEOUT handle = device.Handle();
    // Another device's header, so that it outlives this device should it be queued.
    WAVEHDR* pUnprepared = NewDevice().m_pPool->Header(0);
    EXPECT_EQ(platform::waveOutWrite(handle, pUnprepared, kHeaderBytes),
              platform::WAVERR_UNPREPARED);
    WAVEHDR* pQueued = device.m_pPool->Header(0);
    EXPECT_EQ(platform::waveOutWrite(handle, pQueued, kHeaderBytes), platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(platform::waveOutPrepareHeader(handle, pQueued, kHeaderBytes),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(platform::waveOutUnprepareHeader(handle, pQueued, kHeaderBytes),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(pQueued->dwFlags.load(), kQueued);
}

TEST_F(WaveOutTest, CloseWaitsForAResetThenLosesNoNoticeAndHandlesAreNeverReused) {
    CWaveOutDevice& device = NewDevice();
    std::set<HWAVEOUT> handles{platform::kNoWaveOut};
    // Many rounds: the notices come from the device's own thread, which a close must not cut
    // short.
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(device.Open(&m_loop));
        EXPECT_TRUE(handles.insert(device.Handle()).second);
        ASSERT_TRUE(device.Prime());
        ASSERT_EQ(platform::waveOutClose(device.Handle()), platform::WAVERR_STILLPLAYING);
        device.Reset();
        ASSERT_TRUE(device.Close());
        m_notices.clear();
        m_loop.ProcessPending();
        ASSERT_EQ(m_notices.size(), std::size_t{kBufferCount});
    }
}

TEST_F(WaveOutTest, RealTimeDevicePlaysAtRoughlyTheFormatsRate) {
    EmulatedWaveOut::Options options;
    options.realTime = true;
    InstallDriver(options);
    CWaveOutDevice& device = PrimedDevice();
    m_pRequeueTo = &device;
    const auto start = std::chrono::steady_clock::now();
    device.Restart();
    m_loop.RunUntil([] { return false; }, std::chrono::milliseconds(300));

    const double frames = device.GetPosition();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Loose bounds: a loaded machine wakes the device late, and it then catches up.
    EXPECT_GT(frames / elapsed, 0.5 * 44100) << frames << " frames in " << elapsed << " s";
    EXPECT_LT(frames / elapsed, 1.5 * 44100) << frames << " frames in " << elapsed << " s";
}

}  // namespace
