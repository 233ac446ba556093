#include "platform/WaveOut.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/MessageLoop.h"

namespace {

using platform::EmulatedWaveOut;
using platform::HWAVEOUT;
using platform::MMRESULT;
using platform::WAVEHDR;
using testsupport::Bytes;

constexpr std::uint32_t kHeaderBytes = sizeof(WAVEHDR);

platform::WAVEFORMATEX Stereo16(std::uint32_t rate = 44100) {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nChannels = 2;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec = rate * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    return format;
}

Bytes Pattern(std::size_t bytes, std::uint8_t seed) {
    Bytes pattern(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        pattern[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251 + 1);
    }
    return pattern;
}

// A buffer of the test's own memory with its header.
struct Buffer {
    explicit Buffer(Bytes content) : bytes(std::move(content)) {
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    }
    Bytes bytes;
    WAVEHDR header;
};

class WaveOutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallDriver(EmulatedWaveOut::Options{});
        m_loop.SetWaveDoneHandler([this](HWAVEOUT hWaveOut, WAVEHDR* pHeader) {
            m_done.push_back({hWaveOut, pHeader});
        });
    }

    void TearDown() override {
        for (const HWAVEOUT handle : m_open) {
            platform::waveOutReset(handle);
            platform::waveOutClose(handle);
        }
        platform::SetWaveOutDriver(nullptr);
    }

    void InstallDriver(const EmulatedWaveOut::Options& options) {
        platform::SetWaveOutDriver(nullptr);
        m_pDriver = std::make_unique<EmulatedWaveOut>(options);
        platform::SetWaveOutDriver(m_pDriver.get());
    }

    // A buffer that outlives every device of the test.
    Buffer& NewBuffer(Bytes content) {
        m_buffers.push_back(std::make_unique<Buffer>(std::move(content)));
        return *m_buffers.back();
    }

    // Opens a device reporting to the loop; it is reset and closed at the end of the test.
    HWAVEOUT Open(const platform::WAVEFORMATEX& format) {
        HWAVEOUT handle = platform::kNoWaveOut;
        EXPECT_EQ(platform::waveOutOpen(&handle, platform::WAVE_MAPPER, &format, &m_loop, 0,
                                        platform::CALLBACK_TARGET),
                  platform::MMSYSERR_NOERROR);
        m_open.push_back(handle);
        return handle;
    }

    static void Queue(HWAVEOUT handle, Buffer& buffer) {
        ASSERT_EQ(platform::waveOutPrepareHeader(handle, &buffer.header, kHeaderBytes),
                  platform::MMSYSERR_NOERROR);
        ASSERT_EQ(platform::waveOutWrite(handle, &buffer.header, kHeaderBytes),
                  platform::MMSYSERR_NOERROR);
    }

    static std::uint32_t Position(HWAVEOUT handle) {
        platform::MMTIME time;
        EXPECT_EQ(platform::waveOutGetPosition(handle, &time, sizeof time),
                  platform::MMSYSERR_NOERROR);
        EXPECT_EQ(time.wType, platform::TIME_SAMPLES);
        return time.sample;
    }

    bool WaitForDone(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return m_loop.RunUntil([&] { return m_done.size() >= count; }, timeout);
    }

    std::unique_ptr<EmulatedWaveOut> m_pDriver;
    platform::CMessageLoop m_loop;
    std::vector<std::pair<HWAVEOUT, WAVEHDR*>> m_done;
    std::vector<HWAVEOUT> m_open;
    std::vector<std::unique_ptr<Buffer>> m_buffers;
    const platform::WAVEFORMATEX m_format = Stereo16();
};

TEST_F(WaveOutTest, QueryAndOpenCheckTheirArguments) {
    EXPECT_EQ(platform::waveOutOpen(nullptr, platform::WAVE_MAPPER, &m_format, nullptr, 0,
                                    platform::WAVE_FORMAT_QUERY),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(m_pDriver->OpensSoFar(), 0);

    platform::WAVEFORMATEX noFrames = m_format;
    noFrames.nBlockAlign = 0;
    EXPECT_EQ(platform::waveOutOpen(nullptr, platform::WAVE_MAPPER, &noFrames, nullptr, 0,
                                    platform::WAVE_FORMAT_QUERY),
              platform::WAVERR_BADFORMAT);
    EXPECT_EQ(platform::waveOutOpen(nullptr, platform::WAVE_MAPPER, nullptr, nullptr, 0,
                                    platform::WAVE_FORMAT_QUERY),
              platform::WAVERR_BADFORMAT);

    HWAVEOUT handle = platform::kNoWaveOut;
    EXPECT_EQ(platform::waveOutOpen(&handle, platform::WAVE_MAPPER, &m_format, nullptr, 0,
                                    platform::CALLBACK_TARGET),
              platform::MMSYSERR_INVALPARAM);
    EXPECT_EQ(platform::waveOutOpen(&handle, platform::WAVE_MAPPER, &m_format, &m_loop, 0, 0),
              platform::MMSYSERR_INVALPARAM);
    EXPECT_EQ(handle, platform::kNoWaveOut);
    EXPECT_EQ(m_pDriver->OpensSoFar(), 0);

    // A handle that was never given out.
    const HWAVEOUT bogus = 0xDEADBEEF;
    Buffer& buffer = NewBuffer(Bytes(16, 1));
    platform::MMTIME time;
    EXPECT_EQ(platform::waveOutPrepareHeader(bogus, &buffer.header, kHeaderBytes),
              platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutWrite(bogus, &buffer.header, kHeaderBytes),
              platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutPause(bogus), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutRestart(bogus), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutReset(bogus), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutGetPosition(bogus, &time, sizeof time),
              platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(platform::waveOutClose(bogus), platform::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(buffer.header.dwFlags.load(), 0u);
}

TEST_F(WaveOutTest, HeaderStatesDecideWhatTheQueueAccepts) {
    const HWAVEOUT handle = Open(m_format);
    ASSERT_EQ(platform::waveOutPause(handle), platform::MMSYSERR_NOERROR);
    Buffer& buffer = NewBuffer(Pattern(4096, 1));

    EXPECT_EQ(platform::waveOutWrite(handle, &buffer.header, kHeaderBytes),
              platform::WAVERR_UNPREPARED);
    EXPECT_EQ(buffer.header.dwFlags.load(), 0u);

    ASSERT_EQ(platform::waveOutPrepareHeader(handle, &buffer.header, kHeaderBytes),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags.load(), platform::WHDR_PREPARED);
    ASSERT_EQ(platform::waveOutWrite(handle, &buffer.header, kHeaderBytes),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags.load(), platform::WHDR_PREPARED | platform::WHDR_INQUEUE);

    // A queued header can be neither queued again, nor prepared or unprepared.
    EXPECT_EQ(platform::waveOutWrite(handle, &buffer.header, kHeaderBytes),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(platform::waveOutPrepareHeader(handle, &buffer.header, kHeaderBytes),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(platform::waveOutUnprepareHeader(handle, &buffer.header, kHeaderBytes),
              platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(buffer.header.dwFlags.load(), platform::WHDR_PREPARED | platform::WHDR_INQUEUE);

    // Nor can the device be closed while it holds it; the handle stays valid.
    EXPECT_EQ(platform::waveOutClose(handle), platform::WAVERR_STILLPLAYING);
    EXPECT_EQ(Position(handle), 0u);

    // A reset hands it back as done, and then the device closes.
    EXPECT_EQ(platform::waveOutReset(handle), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags.load(), platform::WHDR_PREPARED | platform::WHDR_DONE);
    EXPECT_EQ(platform::waveOutUnprepareHeader(handle, &buffer.header, kHeaderBytes),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags.load(), platform::WHDR_DONE);
    EXPECT_EQ(platform::waveOutClose(handle), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    EXPECT_EQ(platform::waveOutClose(handle), platform::MMSYSERR_INVALHANDLE);

    // The one notice of the reset buffer was made before the close returned.
    m_loop.ProcessPending();
    ASSERT_EQ(m_done.size(), 1u);
    EXPECT_EQ(m_done[0].first, handle);
    EXPECT_EQ(m_done[0].second, &buffer.header);
}

TEST_F(WaveOutTest, QueuedBuffersPlayInOrderWithWhatTheyHoldWhenReached) {
    const HWAVEOUT handle = Open(m_format);
    Buffer& first = NewBuffer(Pattern(1000, 1));
    Buffer& second = NewBuffer(Pattern(1000, 2));
    Queue(handle, first);
    Queue(handle, second);

    m_pDriver->Advance(100);
    EXPECT_EQ(m_pDriver->Recording(), Bytes(first.bytes.begin(), first.bytes.begin() + 400));
    EXPECT_EQ(Position(handle), 100u);

    // The second buffer is rewritten while it waits in the queue.
    const Bytes rewritten = Pattern(1000, 3);
    std::copy(rewritten.begin(), rewritten.end(), second.bytes.begin());
    EXPECT_EQ(platform::waveOutBuffersWritten(handle), platform::MMSYSERR_NOERROR);

    m_pDriver->Advance(400);
    Bytes expected = first.bytes;
    expected.insert(expected.end(), rewritten.begin(), rewritten.end());
    EXPECT_EQ(m_pDriver->Recording(), expected);
    EXPECT_EQ(Position(handle), 500u);
    EXPECT_EQ(m_pDriver->SilentFrames(), 0u);

    // Dry: silence, and the position holds.
    m_pDriver->Advance(50);
    EXPECT_EQ(Position(handle), 500u);
    EXPECT_EQ(m_pDriver->SilentFrames(), 50u);

    ASSERT_TRUE(WaitForDone(2));
    EXPECT_EQ(m_done[0].second, &first.header);
    EXPECT_EQ(m_done[1].second, &second.header);
    EXPECT_EQ(first.header.dwFlags.load(), platform::WHDR_PREPARED | platform::WHDR_DONE);
    EXPECT_EQ(second.header.dwFlags.load(), platform::WHDR_PREPARED | platform::WHDR_DONE);
}

TEST_F(WaveOutTest, PauseHoldsTheBufferBeingPlayedAndRestartGoesOn) {
    const HWAVEOUT handle = Open(m_format);
    Buffer& buffer = NewBuffer(Pattern(4000, 4));
    Queue(handle, buffer);

    m_pDriver->Advance(300);
    ASSERT_EQ(platform::waveOutPause(handle), platform::MMSYSERR_NOERROR);
    m_pDriver->Advance(500);
    EXPECT_EQ(Position(handle), 300u);
    EXPECT_EQ(m_pDriver->SilentFrames(), 500u);
    ASSERT_EQ(platform::waveOutRestart(handle), platform::MMSYSERR_NOERROR);
    m_pDriver->Advance(700);
    EXPECT_EQ(Position(handle), 1000u);
    EXPECT_EQ(m_pDriver->Recording(), buffer.bytes);

    // A reset sets the position back to 0.
    EXPECT_EQ(platform::waveOutReset(handle), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(Position(handle), 0u);
}

TEST_F(WaveOutTest, EveryBufferHandedBackByAResetIsReportedEvenWhenClosedAtOnce) {
    // The notices of a reset are made by the device's own thread; closing right after the reset
    // must not lose any of them.
    constexpr int kRounds = 200;
    constexpr std::size_t kBuffers = 8;
    std::vector<Buffer*> buffers;
    for (std::size_t i = 0; i < kBuffers; ++i) {
        buffers.push_back(&NewBuffer(Bytes(64, 0)));
    }
    for (int round = 0; round < kRounds; ++round) {
        const HWAVEOUT handle = Open(m_format);
        ASSERT_NE(handle, platform::kNoWaveOut);
        platform::waveOutPause(handle);
        for (Buffer* pBuffer : buffers) {
            pBuffer->header.dwFlags = 0;
            Queue(handle, *pBuffer);
        }
        ASSERT_EQ(platform::waveOutReset(handle), platform::MMSYSERR_NOERROR);
        for (Buffer* pBuffer : buffers) {
            platform::waveOutUnprepareHeader(handle, &pBuffer->header, kHeaderBytes);
        }
        ASSERT_EQ(platform::waveOutClose(handle), platform::MMSYSERR_NOERROR);
        // The device's thread has finished: all its notices are in the loop's queue.
        m_done.clear();
        m_loop.ProcessPending();
        ASSERT_EQ(m_done.size(), kBuffers) << "round " << round;
    }
}

TEST_F(WaveOutTest, HandlesAreNeverReused) {
    std::vector<HWAVEOUT> handles;
    for (int i = 0; i < 20; ++i) {
        HWAVEOUT handle = platform::kNoWaveOut;
        ASSERT_EQ(platform::waveOutOpen(&handle, platform::WAVE_MAPPER, &m_format, &m_loop, 0,
                                        platform::CALLBACK_TARGET),
                  platform::MMSYSERR_NOERROR);
        EXPECT_NE(handle, platform::kNoWaveOut);
        for (const HWAVEOUT earlier : handles) {
            EXPECT_NE(handle, earlier);
        }
        handles.push_back(handle);
        ASSERT_EQ(platform::waveOutClose(handle), platform::MMSYSERR_NOERROR);
    }
    // A failed open gives no handle, and the next one is still new.
    m_pDriver->FailNextOpen();
    HWAVEOUT failed = platform::kNoWaveOut;
    EXPECT_NE(platform::waveOutOpen(&failed, platform::WAVE_MAPPER, &m_format, &m_loop, 0,
                                    platform::CALLBACK_TARGET),
              platform::MMSYSERR_NOERROR);
    EXPECT_EQ(failed, platform::kNoWaveOut);
    const HWAVEOUT next = Open(m_format);
    for (const HWAVEOUT earlier : handles) {
        EXPECT_NE(next, earlier);
    }
}

TEST_F(WaveOutTest, RealTimeDevicePlaysAtTheFormatsRate) {
    EmulatedWaveOut::Options options;
    options.realTime = true;
    options.periodFrames = 256;
    InstallDriver(options);

    constexpr std::uint32_t kRate = 44100;
    const platform::WAVEFORMATEX format = Stereo16(kRate);
    const HWAVEOUT handle = Open(format);
    // Four buffers of 40 ms, then a long one that keeps the device busy while it is measured.
    constexpr std::uint32_t kShortFrames = kRate / 25;
    std::vector<Buffer*> buffers;
    for (int i = 0; i < 4; ++i) {
        buffers.push_back(&NewBuffer(Bytes(kShortFrames * 4, 0)));
    }
    buffers.push_back(&NewBuffer(Bytes(kRate * 4, 0)));
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t startPosition = Position(handle);
    for (Buffer* pBuffer : buffers) {
        Queue(handle, *pBuffer);
    }

    // The four short buffers are reported on their own, in about 160 ms.
    ASSERT_TRUE(WaitForDone(4, std::chrono::seconds(2)));
    const auto reported = std::chrono::steady_clock::now();
    const std::uint32_t position = Position(handle);
    const double seconds = std::chrono::duration<double>(reported - start).count();
    EXPECT_GE(seconds, 0.08);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(m_done[i].second, &buffers[i]->header);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto end = std::chrono::steady_clock::now();
    const std::uint32_t endPosition = Position(handle);
    const double elapsed = std::chrono::duration<double>(end - start).count();
    const double rate = (endPosition - startPosition) / elapsed;
    EXPECT_GT(rate, 0.5 * kRate) << endPosition << " frames in " << elapsed << " s";
    EXPECT_LT(rate, 1.5 * kRate) << endPosition << " frames in " << elapsed << " s";
    // The position trails the frames taken by the device's latency, and a notice may come
    // before the period that finished the buffer is counted.
    std::uint32_t latency = 0;
    ASSERT_EQ(platform::waveOutGetLatency(handle, &latency), platform::MMSYSERR_NOERROR);
    EXPECT_GE(position + latency + options.periodFrames, 4 * kShortFrames);
    EXPECT_GE(m_pDriver->Recording().size(), static_cast<std::size_t>(endPosition) * 4);
}

}  // namespace
