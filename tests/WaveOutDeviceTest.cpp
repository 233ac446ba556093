#include "playback/WaveOutDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/MessageLoop.h"
#include "platform/WaveOut.h"
#include "playback/PrivateHeap.h"

namespace {

using platform::EmulatedWaveOut;
using platform::HWAVEOUT;
using platform::WAVEHDR;
using testsupport::Bytes;
using Messages = std::vector<std::string>;

const std::string kQueryFailed =
    "オーディオデバイスがないか、サポートされていないフォーマットです。";
const std::string kAlreadyOpen = "再生デバイスはオープン済みです。";
const std::string kOpenFailed = "再生デバイスのオープンに失敗しました。";
const std::string kCloseFailed = "再生デバイスのクローズに失敗しました。";
const std::string kPrimePrepareFailed = "バッファが再生用に準備できませんでした。";
const std::string kQueueFailed = "バッファを再生キューに登録できませんでした。";
const std::string kRequeuePrepareFailed = "バッファを再生用に準備できませんでした。";

// The main window's ring: 8 buffers of 4096 bytes, 4-byte frames, 1024 frames per buffer.
constexpr std::int32_t kBufferBytes = 4096;
constexpr std::int32_t kBufferCount = 8;
constexpr std::int32_t kFramesPerBuffer = 1024;
constexpr std::int32_t kRingFrames = kBufferCount * kFramesPerBuffer;
constexpr std::size_t kRingBytes = static_cast<std::size_t>(kBufferCount) * kBufferBytes;

constexpr std::uint32_t kQueued = platform::WHDR_PREPARED | platform::WHDR_INQUEUE;
constexpr std::uint32_t kFinished = platform::WHDR_PREPARED | platform::WHDR_DONE;

platform::WAVEFORMATEX Stereo16() {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.nAvgBytesPerSec = 44100 * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    return format;
}

// frameCount frames of blockAlign bytes, each different from every other frame of the same
// pattern and from any frame of a pattern with another tag, and none of them silent.
Bytes Pattern(std::int32_t frameCount, std::uint8_t tag, std::size_t blockAlign = 4) {
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(frameCount) * blockAlign);
    for (std::int32_t k = 0; k < frameCount; ++k) {
        const auto number = static_cast<std::uint32_t>(k + 1);
        for (std::size_t b = 0; b < blockAlign; ++b) {
            const std::uint32_t shift = static_cast<std::uint32_t>(8 * (b % 3));
            bytes.push_back(b % 4 == 3 ? tag : static_cast<std::uint8_t>(number >> shift));
        }
    }
    return bytes;
}

Bytes Repeat(const Bytes& bytes, int times) {
    Bytes result;
    for (int i = 0; i < times; ++i) {
        result.insert(result.end(), bytes.begin(), bytes.end());
    }
    return result;
}

struct Notice {
    HWAVEOUT handle;
    WAVEHDR* pHeader;
    std::thread::id thread;
};

class WaveOutDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallDriver(EmulatedWaveOut::Options{});
        m_loop.SetWaveDoneHandler([this](HWAVEOUT hWaveOut, WAVEHDR* pHeader) {
            m_notices.push_back({hWaveOut, pHeader, std::this_thread::get_id()});
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
        m_devices.clear();
        platform::SetWaveOutDriver(nullptr);
    }

    // Replaces the emulated driver; only before any device is opened.
    void InstallDriver(const EmulatedWaveOut::Options& options) {
        platform::SetWaveOutDriver(nullptr);
        m_pDriver = std::make_unique<EmulatedWaveOut>(options);
        platform::SetWaveOutDriver(m_pDriver.get());
    }

    // A device on the main window's ring; it is reset and closed at the end of the test.
    CWaveOutDevice& NewDevice(const platform::WAVEFORMATEX* pFormat = nullptr) {
        m_devices.push_back(std::make_unique<CWaveOutDevice>(
            platform::WAVE_MAPPER, pFormat != nullptr ? pFormat : &m_format, kBufferBytes,
            kBufferCount));
        return *m_devices.back();
    }

    // Opens, primes and (unless told otherwise) restarts a new device.
    CWaveOutDevice& StartedDevice(bool restart = true) {
        CWaveOutDevice& device = NewDevice();
        EXPECT_TRUE(device.Open(&m_loop));
        EXPECT_TRUE(device.Prime());
        if (restart) {
            device.Restart();
        }
        return device;
    }

    static Bytes Ring(const CWaveOutDevice& device) {
        Bytes ring;
        for (std::int32_t i = 0; i < device.m_pPool->m_bufferCount; ++i) {
            const std::uint8_t* pBuffer = device.m_pPool->Buffer(i);
            ring.insert(ring.end(), pBuffer, pBuffer + device.m_pPool->m_bufferBytes);
        }
        return ring;
    }

    // Gives buffer i its own pattern (tag 0x40 + i) and returns the ring image.
    static Bytes FillBuffersWithOwnPatterns(CWaveOutDevice& device) {
        for (std::int32_t i = 0; i < kBufferCount; ++i) {
            const Bytes pattern = Pattern(kFramesPerBuffer, static_cast<std::uint8_t>(0x40 + i));
            device.WriteFrames(i, 0, pattern.data(), kFramesPerBuffer);
        }
        return Ring(device);
    }

    // Runs the loop until `count` notices have been handled in all.
    bool WaitForNotices(std::size_t count) {
        return m_loop.RunUntil([&] { return m_notices.size() >= count; }, std::chrono::seconds(5));
    }

    // Runs the loop a little longer, so that a notice that should not come has time to.
    void Settle() {
        m_loop.RunUntil([] { return false; }, std::chrono::milliseconds(30));
    }

    std::unique_ptr<EmulatedWaveOut> m_pDriver;
    platform::CMessageLoop m_loop;
    testsupport::MessageCapture m_messages;
    platform::WAVEFORMATEX m_format = Stereo16();
    std::vector<Notice> m_notices;
    CWaveOutDevice* m_pRequeueTo = nullptr;
    std::vector<bool> m_requeueResults;
    std::vector<std::unique_ptr<CWaveOutDevice>> m_devices;
    const std::thread::id m_testThread = std::this_thread::get_id();
};

// Copies `bytes` bytes of the source from byte `from` into buffer `buffer` of a ring image at
// byte `at`.
void Place(Bytes& ring, std::int32_t buffer, std::size_t at, const Bytes& source, std::size_t from,
           std::size_t bytes) {
    ASSERT_LE(at + bytes, static_cast<std::size_t>(kBufferBytes));
    ASSERT_LE(from + bytes, source.size());
    std::memcpy(ring.data() + static_cast<std::size_t>(buffer) * kBufferBytes + at,
                source.data() + from, bytes);
}

// The frame that the ring image holds at a place.
Bytes FrameAt(const Bytes& ring, std::int32_t buffer, std::int32_t offset) {
    const std::size_t at =
        static_cast<std::size_t>(buffer) * kBufferBytes + static_cast<std::size_t>(offset) * 4;
    return Bytes(ring.begin() + static_cast<std::ptrdiff_t>(at),
                 ring.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

Bytes SourceFrame(const Bytes& source, std::int32_t k) {
    const auto at = static_cast<std::ptrdiff_t>(k) * 4;
    return Bytes(source.begin() + at, source.begin() + at + 4);
}

TEST_F(WaveOutDeviceTest, WriteFramesSplitsAtBufferEndsAndWrapsToTheFirstBuffer) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.m_pPool->IsReady());
    EXPECT_EQ(device.FramesPerBuffer(), kFramesPerBuffer);
    const Bytes silence(kRingBytes, 0);
    ASSERT_EQ(Ring(device), silence);

    {
        SCOPED_TRACE("100 frames at (7, 1000)");
        const Bytes source = Pattern(100, 1);
        device.WriteFrames(7, 1000, source.data(), 100);
        Bytes expected = silence;
        Place(expected, 7, 4000, source, 0, 24 * 4);
        Place(expected, 0, 0, source, 24 * 4, 76 * 4);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("3000 frames at (2, 500)");
        const Bytes source = Pattern(3000, 2);
        device.WriteFrames(2, 500, source.data(), 3000);
        Bytes expected = silence;
        Place(expected, 2, 2000, source, 0, 524 * 4);
        Place(expected, 3, 0, source, 524 * 4, 1024 * 4);
        Place(expected, 4, 0, source, 1548 * 4, 1024 * 4);
        Place(expected, 5, 0, source, 2572 * 4, 428 * 4);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("24 frames at (3, 1000) fill the buffer exactly");
        const Bytes source = Pattern(24, 3);
        device.WriteFrames(3, 1000, source.data(), 24);
        Bytes expected = silence;
        Place(expected, 3, 4000, source, 0, 96);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("25 frames at (3, 1000) put one frame into buffer 4");
        const Bytes source = Pattern(25, 4);
        device.WriteFrames(3, 1000, source.data(), 25);
        Bytes expected = silence;
        Place(expected, 3, 4000, source, 0, 96);
        Place(expected, 4, 0, source, 96, 4);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("a whole buffer at (5, 0)");
        const Bytes source = Pattern(1024, 5);
        device.WriteFrames(5, 0, source.data(), 1024);
        Bytes expected = silence;
        Place(expected, 5, 0, source, 0, 4096);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("no frames");
        const Bytes source = Pattern(10, 6);
        device.WriteFrames(4, 10, source.data(), 0);
        EXPECT_EQ(Ring(device), silence);
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, WriteFramesLimitsIndexOffsetAndCountToTheRing) {
    CWaveOutDevice& device = NewDevice();
    const Bytes silence(kRingBytes, 0);
    {
        SCOPED_TRACE("index 9 acts as index 7");
        const Bytes source = Pattern(10, 1);
        device.WriteFrames(9, 0, source.data(), 10);
        Bytes expected = silence;
        Place(expected, 7, 0, source, 0, 40);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("offset 2000 acts as offset 1023");
        const Bytes source = Pattern(3, 2);
        device.WriteFrames(0, 2000, source.data(), 3);
        Bytes expected = silence;
        Place(expected, 0, 4092, source, 0, 4);
        Place(expected, 1, 0, source, 4, 8);
        EXPECT_EQ(Ring(device), expected);
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("9000 frames at (3, 100) act as 8192 frames and end where they began");
        const Bytes source = Pattern(9000, 3);
        device.WriteFrames(3, 100, source.data(), 9000);
        const Bytes ring = Ring(device);
        Bytes expected(kRingBytes, 0);
        for (std::int32_t k = 0; k < kRingFrames; ++k) {
            const std::int32_t place = (3 * kFramesPerBuffer + 100 + k) % kRingFrames;
            std::memcpy(expected.data() + static_cast<std::size_t>(place) * 4,
                        source.data() + static_cast<std::size_t>(k) * 4, 4);
        }
        EXPECT_EQ(ring, expected);
        EXPECT_EQ(FrameAt(ring, 3, 100), SourceFrame(source, 0));
        EXPECT_EQ(FrameAt(ring, 3, 99), SourceFrame(source, kRingFrames - 1));
        device.m_pPool->ZeroBuffers();
    }
    {
        SCOPED_TRACE("index 9, offset 2000 and 9000 frames act as (7, 1023) and 8192 frames");
        const Bytes source = Pattern(9000, 4);
        device.WriteFrames(9, 2000, source.data(), 9000);
        const Bytes ring = Ring(device);
        EXPECT_EQ(FrameAt(ring, 7, 1023), SourceFrame(source, 0));
        EXPECT_EQ(FrameAt(ring, 0, 0), SourceFrame(source, 1));
        EXPECT_EQ(FrameAt(ring, 6, 1023), SourceFrame(source, 7 * 1024));
        EXPECT_EQ(FrameAt(ring, 7, 1022), SourceFrame(source, kRingFrames - 1));
        Bytes expected(kRingBytes, 0);
        Place(expected, 7, 4092, source, 0, 4);
        for (std::int32_t i = 0; i < 7; ++i) {
            Place(expected, i, 0, source, 4 + static_cast<std::size_t>(i) * 4096, 4096);
        }
        Place(expected, 7, 0, source, 4 + 7 * 4096, 4092);
        EXPECT_EQ(ring, expected);
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, ClearFramesSilencesTheSamePlacesAsWriteFramesFills) {
    CWaveOutDevice& device = NewDevice();
    const Bytes full = Pattern(kRingFrames, 9);
    auto fillRing = [&] {
        device.WriteFrames(0, 0, full.data(), kRingFrames);
        ASSERT_EQ(Ring(device), full);
    };
    const Bytes silence(kRingBytes, 0);
    {
        SCOPED_TRACE("100 frames at (7, 1000)");
        fillRing();
        device.ClearFrames(7, 1000, 100);
        Bytes expected = full;
        Place(expected, 7, 4000, silence, 0, 96);
        Place(expected, 0, 0, silence, 0, 304);
        EXPECT_EQ(Ring(device), expected);
    }
    {
        SCOPED_TRACE("3000 frames at (2, 500)");
        fillRing();
        device.ClearFrames(2, 500, 3000);
        Bytes expected = full;
        Place(expected, 2, 2000, silence, 0, 2096);
        Place(expected, 3, 0, silence, 0, 4096);
        Place(expected, 4, 0, silence, 0, 4096);
        Place(expected, 5, 0, silence, 0, 1712);
        EXPECT_EQ(Ring(device), expected);
    }
    {
        SCOPED_TRACE("index 9 and offset 2000 act as (7, 1023)");
        fillRing();
        device.ClearFrames(9, 2000, 2);
        Bytes expected = full;
        Place(expected, 7, 4092, silence, 0, 4);
        Place(expected, 0, 0, silence, 0, 4);
        EXPECT_EQ(Ring(device), expected);
    }
    {
        SCOPED_TRACE("9000 frames silence the whole ring");
        fillRing();
        device.ClearFrames(5, 700, 9000);
        EXPECT_EQ(Ring(device), silence);
    }
    {
        SCOPED_TRACE("no frames");
        fillRing();
        device.ClearFrames(1, 1, 0);
        EXPECT_EQ(Ring(device), full);
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, SixByteFramesNeverReachTheLastBytesOfABuffer) {
    platform::WAVEFORMATEX format = Stereo16();
    format.wBitsPerSample = 24;
    format.nBlockAlign = 6;
    format.nAvgBytesPerSec = 44100 * 6;
    CWaveOutDevice& device = NewDevice(&format);
    EXPECT_EQ(device.FramesPerBuffer(), 682);

    // The whole ring is 8 x 682 frames; more are not written.
    const Bytes source = Pattern(6000, 1, 6);
    device.WriteFrames(0, 0, source.data(), 6000);
    Bytes expected(kRingBytes, 0);
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        Place(expected, i, 0, source, static_cast<std::size_t>(i) * 4092, 4092);
    }
    EXPECT_EQ(Ring(device), expected);

    device.m_pPool->ZeroBuffers();
    device.WriteFrames(0, 681, source.data(), 2);
    expected.assign(kRingBytes, 0);
    Place(expected, 0, 4086, source, 0, 6);
    Place(expected, 1, 0, source, 6, 6);
    EXPECT_EQ(Ring(device), expected);
}

TEST_F(WaveOutDeviceTest, QueryFormatAsksWithoutOpeningAndReportsAFailure) {
    CWaveOutDevice& device = NewDevice();
    EXPECT_TRUE(device.QueryFormat());
    EXPECT_TRUE(m_messages.Messages().empty());

    m_pDriver->FailNextQuery();
    EXPECT_FALSE(device.QueryFormat());
    EXPECT_EQ(m_messages.Messages(), Messages{kQueryFailed});

    // Only that query failed.
    EXPECT_TRUE(device.QueryFormat());
    EXPECT_EQ(m_messages.Messages(), Messages{kQueryFailed});

    // A format that the device does not play.
    platform::WAVEFORMATEX floating = Stereo16();
    floating.wFormatTag = 3;
    floating.wBitsPerSample = 32;
    floating.nBlockAlign = 8;
    device.SetFormat(&floating);
    EXPECT_FALSE(device.QueryFormat());
    EXPECT_EQ(m_messages.Messages(), (Messages{kQueryFailed, kQueryFailed}));

    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);
    EXPECT_EQ(m_pDriver->OpensSoFar(), 0);
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
}

TEST_F(WaveOutDeviceTest, OpenTwiceKeepsTheFirstHandle) {
    CWaveOutDevice& device = NewDevice();
    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);
    ASSERT_TRUE(device.Open(&m_loop));
    const HWAVEOUT first = device.Handle();
    EXPECT_NE(first, platform::kNoWaveOut);
    EXPECT_TRUE(m_messages.Messages().empty());

    EXPECT_FALSE(device.Open(&m_loop));
    EXPECT_EQ(m_messages.Messages(), Messages{kAlreadyOpen});
    EXPECT_EQ(device.Handle(), first);
    EXPECT_EQ(m_pDriver->OpensSoFar(), 1);
    EXPECT_EQ(m_pDriver->OpenDevices(), 1);

    // The kept handle still works, and closes.
    EXPECT_TRUE(device.Prime());
    device.Reset();
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    EXPECT_EQ(m_messages.Messages(), Messages{kAlreadyOpen});
}

TEST_F(WaveOutDeviceTest, FailedOpenLeavesTheDeviceClosed) {
    CWaveOutDevice& device = NewDevice();
    m_pDriver->FailNextOpen();
    EXPECT_FALSE(device.Open(&m_loop));
    EXPECT_EQ(m_messages.Messages(), Messages{kOpenFailed});
    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    EXPECT_EQ(device.GetPosition(), 0u);
    EXPECT_FALSE(device.Prime());

    // A format that the device does not play cannot be opened either.
    platform::WAVEFORMATEX floating = Stereo16();
    floating.wFormatTag = 3;
    device.SetFormat(&floating);
    m_messages.Clear();
    EXPECT_FALSE(device.Open(&m_loop));
    EXPECT_EQ(m_messages.Messages(), Messages{kOpenFailed});
    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);

    device.SetFormat(&m_format);
    m_messages.Clear();
    EXPECT_TRUE(device.Open(&m_loop));
    EXPECT_NE(device.Handle(), platform::kNoWaveOut);
    EXPECT_TRUE(device.Close());
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, CloseOnAClosedDeviceSucceedsWithoutCallingTheDevice) {
    CWaveOutDevice& device = NewDevice();
    // Armed, but only a call that reaches the device uses it.
    m_pDriver->FailNextClose();
    EXPECT_TRUE(device.Close());
    // Nor do the other calls reach a closed device.
    device.Reset();
    device.Restart();
    EXPECT_EQ(device.GetPosition(), 0u);
    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);
    EXPECT_TRUE(m_messages.Messages().empty());

    // The close failure is still armed: the first close that reaches the device takes it.
    ASSERT_TRUE(device.Open(&m_loop));
    EXPECT_FALSE(device.Close());
    EXPECT_EQ(m_messages.Messages(), Messages{kCloseFailed});
}

TEST_F(WaveOutDeviceTest, FailedCloseForgetsTheHandle) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    const HWAVEOUT first = device.Handle();
    ASSERT_TRUE(device.Prime());
    device.Reset();

    m_pDriver->FailNextClose();
    EXPECT_FALSE(device.Close());
    EXPECT_EQ(m_messages.Messages(), Messages{kCloseFailed});
    EXPECT_EQ(device.Handle(), platform::kNoWaveOut);
    EXPECT_EQ(device.GetPosition(), 0u);

    EXPECT_TRUE(device.Close());
    EXPECT_EQ(m_messages.Messages(), Messages{kCloseFailed});

    // The device can be opened again, under a new handle.
    ASSERT_TRUE(device.Open(&m_loop));
    EXPECT_NE(device.Handle(), first);
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    EXPECT_EQ(m_messages.Messages(), Messages{kCloseFailed});
}

TEST_F(WaveOutDeviceTest, PrimeQueuesTheSilentRingInOrderOnAPausedDevice) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    // Whatever the ring held before is silenced.
    const Bytes stale = Pattern(kRingFrames, 0x11);
    device.WriteFrames(0, 0, stale.data(), kRingFrames);

    ASSERT_TRUE(device.Prime());
    EXPECT_TRUE(m_messages.Messages().empty());
    EXPECT_EQ(Ring(device), Bytes(kRingBytes, 0));
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        SCOPED_TRACE("header " + std::to_string(i));
        const WAVEHDR& header = *device.m_pPool->Header(i);
        EXPECT_EQ(header.lpData, device.m_pPool->Buffer(i));
        EXPECT_EQ(header.dwBufferLength, 4096u);
        EXPECT_EQ(header.dwUser, 0u);
        EXPECT_EQ(header.dwLoops, 0u);
        EXPECT_EQ(header.dwFlags.load(), kQueued);
    }

    // Paused: the clock runs, but nothing is taken from the queue.
    m_pDriver->Advance(3 * kRingFrames);
    EXPECT_TRUE(m_pDriver->Recording().empty());
    EXPECT_EQ(m_pDriver->SilentFrames(), 3u * kRingFrames);
    EXPECT_EQ(device.GetPosition(), 0u);
    Settle();
    EXPECT_TRUE(m_notices.empty());

    // What is written into the queued buffers before the device reaches them is what is heard,
    // buffer 0 first.
    const Bytes ring = FillBuffersWithOwnPatterns(device);
    device.Restart();
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording(), ring);
    EXPECT_EQ(m_pDriver->SilentFrames(), 3u * kRingFrames);
    EXPECT_EQ(device.GetPosition(), static_cast<std::uint32_t>(kRingFrames));

    ASSERT_TRUE(WaitForNotices(kBufferCount));
    Settle();
    ASSERT_EQ(m_notices.size(), static_cast<std::size_t>(kBufferCount));
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        SCOPED_TRACE("notice " + std::to_string(i));
        EXPECT_EQ(m_notices[static_cast<std::size_t>(i)].handle, device.Handle());
        EXPECT_EQ(m_notices[static_cast<std::size_t>(i)].pHeader, device.m_pPool->Header(i));
        EXPECT_EQ(m_notices[static_cast<std::size_t>(i)].thread, m_testThread);
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), kFinished);
    }

    // With nothing requeued the device plays silence and takes nothing more.
    m_pDriver->Advance(100);
    EXPECT_EQ(m_pDriver->Recording().size(), kRingBytes);
    EXPECT_EQ(m_pDriver->SilentFrames(), 3u * kRingFrames + 100);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PrimeStopsAtAFailedPrepare) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    m_pDriver->FailPrepare(3);

    EXPECT_FALSE(device.Prime());
    EXPECT_EQ(m_messages.Messages(), Messages{kPrimePrepareFailed});
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), kQueued) << "header " << i;
    }
    EXPECT_EQ(device.m_pPool->Header(3)->dwFlags.load(), 0u);
    for (std::int32_t i = 4; i < kBufferCount; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), 0u) << "header " << i;
        EXPECT_EQ(device.m_pPool->Header(i)->lpData, nullptr) << "header " << i;
    }

    // The device stays open and paused with the first three buffers queued.
    EXPECT_NE(device.Handle(), platform::kNoWaveOut);
    m_pDriver->Advance(kRingFrames);
    EXPECT_TRUE(m_pDriver->Recording().empty());
    device.Restart();
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording(), Bytes(3 * 4096, 0));
    EXPECT_EQ(device.GetPosition(), 3u * kFramesPerBuffer);
    EXPECT_EQ(m_messages.Messages(), Messages{kPrimePrepareFailed});
}

TEST_F(WaveOutDeviceTest, PrimeStopsAtAFailedQueueCall) {
    CWaveOutDevice& device = NewDevice();
    ASSERT_TRUE(device.Open(&m_loop));
    m_pDriver->FailWrite(5);

    EXPECT_FALSE(device.Prime());
    EXPECT_EQ(m_messages.Messages(), Messages{kQueueFailed});
    for (std::int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), kQueued) << "header " << i;
    }
    // Prepared but not queued.
    EXPECT_EQ(device.m_pPool->Header(5)->dwFlags.load(), platform::WHDR_PREPARED);
    EXPECT_EQ(device.m_pPool->Header(6)->dwFlags.load(), 0u);
    EXPECT_EQ(device.m_pPool->Header(7)->dwFlags.load(), 0u);

    device.Restart();
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording().size(), 5u * 4096);
    ASSERT_TRUE(WaitForNotices(5));
    Settle();
    EXPECT_EQ(m_notices.size(), 5u);
    EXPECT_EQ(m_messages.Messages(), Messages{kQueueFailed});
}

TEST_F(WaveOutDeviceTest, PrimeRefusesAPoolThatIsNotReadyOrAClosedDevice) {
    {
        SCOPED_TRACE("closed device");
        CWaveOutDevice& device = NewDevice();
        EXPECT_FALSE(device.Prime());
        EXPECT_TRUE(m_messages.Messages().empty());
    }
    SCOPED_TRACE("pool without a heap");
    CPrivateHeap::FailNextCreateForTesting();
    CWaveOutDevice& device = NewDevice();
    ASSERT_FALSE(device.m_pPool->IsReady());
    ASSERT_TRUE(device.Open(&m_loop));

    EXPECT_FALSE(device.Prime());
    EXPECT_TRUE(m_messages.Messages().empty());

    // The device was not paused: a buffer queued on it plays at once.
    const Bytes data = Pattern(100, 7);
    Bytes bytes = data;
    WAVEHDR header;
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    ASSERT_EQ(platform::waveOutPrepareHeader(device.Handle(), &header, sizeof header),
              platform::MMSYSERR_NOERROR);
    ASSERT_EQ(platform::waveOutWrite(device.Handle(), &header, sizeof header),
              platform::MMSYSERR_NOERROR);
    m_pDriver->Advance(100);
    EXPECT_EQ(m_pDriver->Recording(), data);
    EXPECT_EQ(device.GetPosition(), 100u);
    EXPECT_EQ(header.dwFlags.load(), kFinished);

    // Nothing else touches a pool that is not ready.
    device.WriteFrames(0, 0, data.data(), 100);
    device.ClearFrames(0, 0, 100);
    device.Reset();
    EXPECT_EQ(device.GetPosition(), 100u);  // no reset reached the device
    EXPECT_EQ(platform::waveOutUnprepareHeader(device.Handle(), &header, sizeof header),
              platform::MMSYSERR_NOERROR);
    EXPECT_TRUE(device.Close());
    EXPECT_TRUE(m_messages.Messages().empty());
    ASSERT_TRUE(WaitForNotices(1));
    EXPECT_EQ(m_notices[0].pHeader, &header);
}

TEST_F(WaveOutDeviceTest, EveryFinishedBufferIsReportedOnceAndRequeuedTheRingKeepsTurning) {
    CWaveOutDevice& device = StartedDevice(/*restart=*/false);
    const Bytes ring = FillBuffersWithOwnPatterns(device);
    device.Restart();
    m_pRequeueTo = &device;

    // Half a buffer finishes nothing.
    m_pDriver->Advance(kFramesPerBuffer / 2);
    Settle();
    EXPECT_TRUE(m_notices.empty());
    m_pDriver->Advance(kFramesPerBuffer / 2);
    ASSERT_TRUE(WaitForNotices(1));

    // Three whole turns of the ring, one buffer at a time, each requeued as it is reported.
    const std::size_t total = 3 * kBufferCount;
    for (std::size_t n = 1; n < total; ++n) {
        m_pDriver->Advance(kFramesPerBuffer);
        ASSERT_TRUE(WaitForNotices(n + 1)) << "buffer " << n;
    }
    Settle();

    ASSERT_EQ(m_notices.size(), total);
    for (std::size_t n = 0; n < total; ++n) {
        SCOPED_TRACE("notice " + std::to_string(n));
        EXPECT_EQ(m_notices[n].handle, device.Handle());
        EXPECT_EQ(m_notices[n].pHeader,
                  device.m_pPool->Header(static_cast<std::int32_t>(n % kBufferCount)));
        EXPECT_EQ(m_notices[n].thread, m_testThread);
    }
    EXPECT_EQ(m_requeueResults, std::vector<bool>(total, true));
    EXPECT_EQ(m_pDriver->Recording(), Repeat(ring, 3));
    EXPECT_EQ(m_pDriver->SilentFrames(), 0u);
    EXPECT_EQ(Ring(device), ring);
    EXPECT_EQ(device.GetPosition(), 3u * kRingFrames);
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), kQueued) << "header " << i;
        EXPECT_EQ(device.m_pPool->Header(i)->lpData, device.m_pPool->Buffer(i));
        EXPECT_EQ(device.m_pPool->Header(i)->dwBufferLength, 4096u);
    }

    // A buffer rewritten while it waits in the queue is heard with its new content.
    const Bytes fresh = Pattern(kFramesPerBuffer, 0x99);
    device.WriteFrames(3, 0, fresh.data(), kFramesPerBuffer);
    m_pDriver->ClearRecording();
    m_pDriver->Advance(kRingFrames);
    Bytes expected = ring;
    Place(expected, 3, 0, fresh, 0, 4096);
    EXPECT_EQ(m_pDriver->Recording(), expected);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, RequeueRefusesAHeaderThatIsNotFinished) {
    CWaveOutDevice& device = StartedDevice(/*restart=*/false);

    // Queued, not yet played.
    WAVEHDR* pQueued = device.m_pPool->Header(2);
    EXPECT_FALSE(device.Requeue(pQueued));
    EXPECT_EQ(pQueued->dwFlags.load(), kQueued);

    WAVEHDR blank;
    EXPECT_FALSE(device.Requeue(&blank));
    blank.dwFlags = platform::WHDR_DONE;
    EXPECT_FALSE(device.Requeue(&blank));
    blank.dwFlags = platform::WHDR_PREPARED;
    EXPECT_FALSE(device.Requeue(&blank));
    EXPECT_EQ(blank.dwFlags.load(), platform::WHDR_PREPARED);
    EXPECT_TRUE(m_messages.Messages().empty());

    // Nothing was queued twice or added: the ring plays once and then runs dry.
    device.Restart();
    m_pDriver->Advance(kRingFrames + 500);
    EXPECT_EQ(m_pDriver->Recording().size(), kRingBytes);
    EXPECT_EQ(m_pDriver->SilentFrames(), 500u);
    ASSERT_TRUE(WaitForNotices(kBufferCount));
    Settle();
    EXPECT_EQ(m_notices.size(), static_cast<std::size_t>(kBufferCount));
}

TEST_F(WaveOutDeviceTest, FailedRequeueTakesTheBufferOutOfTheRing) {
    CWaveOutDevice& device = StartedDevice(/*restart=*/false);
    const Bytes ring = FillBuffersWithOwnPatterns(device);
    device.Restart();
    m_pDriver->Advance(2 * kFramesPerBuffer);
    ASSERT_TRUE(WaitForNotices(2));

    // Preparing fails: that is reported, the buffer is still offered to the queue, which refuses
    // an unprepared buffer.
    m_pDriver->FailPrepare(0);
    EXPECT_FALSE(device.Requeue(device.m_pPool->Header(0)));
    EXPECT_EQ(m_messages.Messages(), (Messages{kRequeuePrepareFailed, kQueueFailed}));
    EXPECT_EQ(device.m_pPool->Header(0)->dwFlags.load(), 0u);

    // Queueing fails: the buffer stays prepared, out of the queue.
    m_messages.Clear();
    m_pDriver->FailWrite(0);
    EXPECT_FALSE(device.Requeue(device.m_pPool->Header(1)));
    EXPECT_EQ(m_messages.Messages(), Messages{kQueueFailed});
    EXPECT_EQ(device.m_pPool->Header(1)->dwFlags.load(), platform::WHDR_PREPARED);

    // The others go on cycling without buffers 0 and 1.
    m_messages.Clear();
    m_pRequeueTo = &device;
    for (std::size_t n = 2; n < 2 + 6 + 6; ++n) {
        m_pDriver->Advance(kFramesPerBuffer);
        ASSERT_TRUE(WaitForNotices(n + 1)) << "buffer " << n;
    }
    const Bytes withoutFirstTwo(ring.begin() + 2 * kBufferBytes, ring.end());
    Bytes expected(ring.begin(), ring.end());
    expected.insert(expected.end(), withoutFirstTwo.begin(), withoutFirstTwo.end());
    EXPECT_EQ(m_pDriver->Recording(), expected);
    EXPECT_EQ(m_requeueResults, std::vector<bool>(12, true));
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, ResetHandsEveryQueuedBufferBackBeforeReturning) {
    CWaveOutDevice& device = StartedDevice(/*restart=*/false);
    FillBuffersWithOwnPatterns(device);
    device.Restart();
    m_pRequeueTo = &device;

    // Buffer 0 finishes and goes to the end of the queue; buffer 1 is under way.
    m_pDriver->Advance(1500);
    ASSERT_TRUE(WaitForNotices(1));
    ASSERT_EQ(m_requeueResults, std::vector<bool>{true});
    EXPECT_EQ(device.GetPosition(), 1500u);

    device.Reset();
    // Before Reset returned: every buffer is done, out of the queue and unprepared.
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        EXPECT_EQ(device.m_pPool->Header(i)->dwFlags.load(), platform::WHDR_DONE) << "header " << i;
    }
    EXPECT_EQ(device.GetPosition(), 0u);
    // The handle stays open, but nothing plays any more.
    EXPECT_NE(device.Handle(), platform::kNoWaveOut);
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(m_pDriver->Recording().size(), 1500u * 4);
    EXPECT_EQ(device.GetPosition(), 0u);

    // One notice for each buffer, carrying the device's handle; requeueing them is refused.
    ASSERT_TRUE(WaitForNotices(1 + kBufferCount));
    Settle();
    ASSERT_EQ(m_notices.size(), 1u + kBufferCount);
    std::set<WAVEHDR*> reported;
    for (std::size_t n = 1; n < m_notices.size(); ++n) {
        EXPECT_EQ(m_notices[n].handle, device.Handle());
        reported.insert(m_notices[n].pHeader);
    }
    EXPECT_EQ(reported.size(), static_cast<std::size_t>(kBufferCount));
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        EXPECT_EQ(reported.count(device.m_pPool->Header(i)), 1u) << "header " << i;
    }
    std::vector<bool> expectedResults(1 + kBufferCount, false);
    expectedResults[0] = true;
    EXPECT_EQ(m_requeueResults, expectedResults);

    // A requeue after the reset is refused, silently.
    for (std::int32_t i = 0; i < kBufferCount; ++i) {
        EXPECT_FALSE(device.Requeue(device.m_pPool->Header(i)));
    }
    EXPECT_TRUE(m_messages.Messages().empty());
    m_pRequeueTo = nullptr;

    // With nothing queued the device closes.
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PositionCountsFramesPlayedAndHoldsWhileTheQueueIsDry) {
    CWaveOutDevice& device = NewDevice();
    EXPECT_EQ(device.GetPosition(), 0u);
    ASSERT_TRUE(device.Open(&m_loop));
    EXPECT_EQ(device.GetPosition(), 0u);
    ASSERT_TRUE(device.Prime());
    m_pDriver->Advance(2000);
    EXPECT_EQ(device.GetPosition(), 0u);  // paused

    device.Restart();
    m_pDriver->Advance(1000);
    EXPECT_EQ(device.GetPosition(), 1000u);
    m_pDriver->Advance(3000);
    EXPECT_EQ(device.GetPosition(), 4000u);
    // The queue runs dry at 8192 frames; the position stops there.
    m_pDriver->Advance(kRingFrames);
    EXPECT_EQ(device.GetPosition(), static_cast<std::uint32_t>(kRingFrames));
    m_pDriver->Advance(5000);
    EXPECT_EQ(device.GetPosition(), static_cast<std::uint32_t>(kRingFrames));

    // Requeued buffers move it on again.
    ASSERT_TRUE(WaitForNotices(kBufferCount));
    for (std::int32_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(device.Requeue(device.m_pPool->Header(i)));
    }
    m_pDriver->Advance(3000);
    EXPECT_EQ(device.GetPosition(), static_cast<std::uint32_t>(kRingFrames + 2048));

    device.Reset();
    EXPECT_TRUE(device.Close());
    EXPECT_EQ(device.GetPosition(), 0u);
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WaveOutDeviceTest, PositionLagsByTheOutputLatencyAndIsNeverNegative) {
    EmulatedWaveOut::Options options;
    options.latencyFrames = 300;
    InstallDriver(options);

    CWaveOutDevice& device = StartedDevice();
    m_pDriver->Advance(200);
    EXPECT_EQ(device.GetPosition(), 0u);
    m_pDriver->Advance(100);
    EXPECT_EQ(device.GetPosition(), 0u);
    m_pDriver->Advance(1);
    EXPECT_EQ(device.GetPosition(), 1u);
    m_pDriver->Advance(999);
    EXPECT_EQ(device.GetPosition(), 1000u);
    m_pDriver->Advance(2 * kRingFrames);
    EXPECT_EQ(device.GetPosition(), static_cast<std::uint32_t>(kRingFrames - 300));
}

TEST_F(WaveOutDeviceTest, HandlesAreNeverReused) {
    CWaveOutDevice& first = StartedDevice();
    const HWAVEOUT firstHandle = first.Handle();
    m_pDriver->Advance(kFramesPerBuffer);
    first.Reset();
    ASSERT_TRUE(first.Close());
    EXPECT_EQ(first.Handle(), platform::kNoWaveOut);

    // Later devices, and the same device opened again, get handles of their own.
    std::set<HWAVEOUT> handles{firstHandle};
    CWaveOutDevice& second = NewDevice();
    ASSERT_TRUE(second.Open(&m_loop));
    ASSERT_TRUE(first.Open(&m_loop));
    EXPECT_TRUE(handles.insert(second.Handle()).second);
    EXPECT_TRUE(handles.insert(first.Handle()).second);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(first.Close());
        ASSERT_TRUE(first.Open(&m_loop));
        EXPECT_TRUE(handles.insert(first.Handle()).second) << "reopen " << i;
    }

    // The notices of the closed device, handled only now, carry its own handle, which is no
    // open device's.
    ASSERT_TRUE(WaitForNotices(kBufferCount));
    Settle();
    ASSERT_EQ(m_notices.size(), static_cast<std::size_t>(kBufferCount));
    for (const Notice& notice : m_notices) {
        EXPECT_EQ(notice.handle, firstHandle);
        EXPECT_NE(notice.handle, first.Handle());
        EXPECT_NE(notice.handle, second.Handle());
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

}  // namespace
