// The streaming player on the emulated device: what the device plays must be the source, in
// order from its first frame to its last, then silence, whatever the rate, latency and timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/MessageLoop.h"
#include "playback/WavePlayer.h"

namespace {

using platform::EmulatedWaveOut;
using testsupport::MessageCapture;

constexpr std::int32_t kBufferBytes = 4096;
constexpr std::uint32_t kTailWaitMs = 100;
constexpr std::uint32_t kPollMs = 10;

std::atomic<std::uint32_t> g_fedFrames{0};
std::atomic<std::uint32_t> g_progressCalls{0};
std::atomic<bool> g_playedOut{false};

void OnProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    g_fedFrames.store(fedFrames);
    g_progressCalls.fetch_add(1);
    if (fedFrames >= totalFrames) {
        g_playedOut.store(true);
    }
}

void ResetProgress() {
    g_fedFrames = 0;
    g_progressCalls = 0;
    g_playedOut = false;
}

platform::WAVEFORMATEX StereoFormat(std::uint32_t samplesPerSec) {
    platform::WAVEFORMATEX format;
    format.wFormatTag = 1;
    format.nChannels = 2;
    format.nSamplesPerSec = samplesPerSec;
    format.nAvgBytesPerSec = samplesPerSec * 4;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    return format;
}

// Frames that are never silent and never equal to one another, so that a missing, repeated,
// stale or misplaced frame shows.
std::vector<std::uint8_t> NumberedFrames(std::uint32_t frameCount) {
    std::vector<std::uint8_t> bytes(std::size_t{frameCount} * 4);
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        const auto left = static_cast<std::int16_t>(i % 32000 + 1);
        const auto right = static_cast<std::int16_t>(-static_cast<int>(i / 32000 + 1));
        std::memcpy(&bytes[std::size_t{i} * 4], &left, 2);
        std::memcpy(&bytes[std::size_t{i} * 4 + 2], &right, 2);
    }
    return bytes;
}

// Checks that recording is source followed by nothing but silence.
void ExpectSourceThenSilence(const std::vector<std::uint8_t>& recording,
                             const std::vector<std::uint8_t>& source) {
    ASSERT_GE(recording.size(), source.size()) << "frames are missing";
    const auto mismatch =
        std::mismatch(source.begin(), source.end(), recording.begin()).first - source.begin();
    ASSERT_EQ(mismatch, static_cast<std::ptrdiff_t>(source.size()))
        << "first wrong frame: " << mismatch / 4;
    const auto loud = std::find_if(recording.begin() + static_cast<std::ptrdiff_t>(source.size()),
                                   recording.end(), [](std::uint8_t b) { return b != 0; });
    EXPECT_EQ(loud, recording.end())
        << "sound after the last frame, at frame " << (loud - recording.begin()) / 4;
}

// A player with its owner's side: a message loop on the test's thread that routes finished
// buffers of the player's own device to it.
class PlayerOwner {
  public:
    PlayerOwner(const platform::WAVEFORMATEX& format, const std::vector<std::uint8_t>& source,
                std::int32_t bufferCount)
        : m_format(format) {
        m_pPlayer = std::make_unique<CWavePlayer>(
            &m_loop, platform::WAVE_MAPPER, &m_format, source.data(),
            static_cast<std::uint32_t>(source.size() / 4), kBufferBytes, bufferCount, kTailWaitMs,
            kPollMs, OnProgress);
        m_loop.SetWaveDoneHandler([this](platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) {
            if (m_pPlayer && hWaveOut == m_pPlayer->DeviceHandle()) {
                m_pPlayer->OnBufferDone(pHeader);
            }
        });
    }

    ~PlayerOwner() {
        m_pPlayer.reset();
        m_loop.ProcessPending();
    }

    CWavePlayer& Player() { return *m_pPlayer; }
    platform::CMessageLoop& Loop() { return m_loop; }

    // Runs the loop until the feed has ended and the feeder has closed the device.
    bool RunToEnd(const EmulatedWaveOut& driver) {
        return m_loop.RunUntil(
            [&driver] { return g_playedOut.load() && driver.OpenDevices() == 0; },
            std::chrono::seconds(20));
    }

  private:
    platform::WAVEFORMATEX m_format;
    platform::CMessageLoop m_loop;
    std::unique_ptr<CWavePlayer> m_pPlayer;
};

class WavePlayerTest : public ::testing::Test {
  protected:
    void Install(const EmulatedWaveOut::Options& options) {
        m_pDriver = std::make_unique<EmulatedWaveOut>(options);
        platform::SetWaveOutDriver(m_pDriver.get());
        ResetProgress();
    }

    void TearDown() override {
        platform::SetWaveOutDriver(nullptr);
        m_pDriver.reset();
    }

    // A device that takes 5 ms periods, as sound cards commonly do.
    static EmulatedWaveOut::Options RealTime(std::uint32_t samplesPerSec = 44100) {
        EmulatedWaveOut::Options options;
        options.realTime = true;
        options.periodFrames = samplesPerSec / 200;
        return options;
    }

    // Plays source at the rate through a ring sized as the owners size it.
    void PlayAndCheck(std::uint32_t samplesPerSec, double seconds) {
        const auto source = NumberedFrames(static_cast<std::uint32_t>(samplesPerSec * seconds));
        const std::int32_t bufferCount =
            CWavePlayer::BufferCountFor(samplesPerSec, 4, kBufferBytes, 8, kTailWaitMs, kPollMs);
        ResetProgress();
        m_pDriver->ClearRecording();
        PlayerOwner owner(StereoFormat(samplesPerSec), source, bufferCount);
        owner.Player().Start();
        ASSERT_TRUE(owner.Player().IsRunning());
        ASSERT_TRUE(owner.RunToEnd(*m_pDriver)) << "the preview did not end by itself";
        owner.Player().Stop();
        SCOPED_TRACE(samplesPerSec);
        ExpectSourceThenSilence(m_pDriver->Recording(), source);
        EXPECT_EQ(g_fedFrames.load(), source.size() / 4);
    }

    std::unique_ptr<EmulatedWaveOut> m_pDriver;
    MessageCapture m_messages;
};

const std::uint32_t kRates[] = {8000, 22050, 44100, 48000, 88200, 96000, 192000};

TEST_F(WavePlayerTest, PlaysEveryFrameInOrderThenSilence) {
    for (const std::uint32_t rate : kRates) {
        Install(RealTime(rate));
        PlayAndCheck(rate, 0.3);
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WavePlayerTest, PlaysEveryFrameDespiteLatencyAndJitter) {
    for (const std::uint32_t rate : kRates) {
        EmulatedWaveOut::Options options = RealTime(rate);
        options.latencyFrames = rate * 40 / 1000;
        options.jitterMicroseconds = 4000;
        options.seed = rate;
        Install(options);
        PlayAndCheck(rate, 0.3);
    }
}

TEST_F(WavePlayerTest, PlaysEveryFrameWithTheOtherCoreBusy) {
    std::atomic<bool> busy{true};
    std::thread spinner([&busy] {
        volatile std::uint64_t sink = 0;
        while (busy.load(std::memory_order_relaxed)) {
            sink = sink + 1;
        }
    });
    for (const std::uint32_t rate : {22050u, 44100u, 96000u}) {
        EmulatedWaveOut::Options options = RealTime(rate);
        options.latencyFrames = rate * 40 / 1000;
        options.jitterMicroseconds = 2000;
        Install(options);
        PlayAndCheck(rate, 0.3);
    }
    busy = false;
    spinner.join();
}

TEST_F(WavePlayerTest, ShortAndEmptySourcesEndByThemselves) {
    Install(RealTime());
    // Shorter than the lead: all of it goes into the ring before the device starts.
    PlayAndCheck(44100, 1000.0 / 44100);
    ResetProgress();
    m_pDriver->ClearRecording();
    const std::vector<std::uint8_t> empty;
    PlayerOwner owner(StereoFormat(44100), empty, 8);
    owner.Player().Start();
    ASSERT_TRUE(owner.RunToEnd(*m_pDriver));
    EXPECT_EQ(g_fedFrames.load(), 0u);
    EXPECT_GE(g_progressCalls.load(), 1u);
    ExpectSourceThenSilence(m_pDriver->Recording(), empty);
}

TEST_F(WavePlayerTest, TheFirstFramesAreInTheRingBeforeTheDeviceStarts) {
    // On a clock that only the test moves, nothing but Start can have fed the ring when the
    // device first plays.
    Install(EmulatedWaveOut::Options{});
    const auto source = NumberedFrames(44100);
    PlayerOwner owner(StereoFormat(44100), source, 8);
    owner.Player().Start();
    ASSERT_TRUE(owner.Player().IsRunning());
    m_pDriver->Advance(4096);
    const std::vector<std::uint8_t> heard = m_pDriver->Recording();
    ASSERT_EQ(heard.size(), 4096u * 4);
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), source.begin()));
    owner.Player().Stop();
}

TEST_F(WavePlayerTest, StopSilencesAtOnceAndAStartBeginsAgainFromTheFirstFrame) {
    Install(RealTime());
    const auto source = NumberedFrames(44100 * 2);
    PlayerOwner owner(StereoFormat(44100), source, 8);
    owner.Player().Start();
    owner.Loop().RunUntil([] { return g_fedFrames.load() > 20000; }, std::chrono::seconds(5));
    EXPECT_TRUE(owner.Player().Stop());
    EXPECT_FALSE(owner.Player().IsRunning());
    EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    const std::vector<std::uint8_t> heard = m_pDriver->Recording();
    ASSERT_GT(heard.size(), 0u);
    ASSERT_LT(heard.size(), source.size());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), source.begin()))
        << "what was heard before the stop is not the start of the source";
    // Nothing plays after the stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(m_pDriver->Recording().size(), heard.size());

    m_pDriver->ClearRecording();
    ResetProgress();
    owner.Player().Start();
    owner.Loop().RunUntil([] { return g_fedFrames.load() > 10000; }, std::chrono::seconds(5));
    owner.Player().Stop();
    const std::vector<std::uint8_t> again = m_pDriver->Recording();
    ASSERT_GT(again.size(), 0u);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), source.begin()));
}

TEST_F(WavePlayerTest, AFailedStartLeavesThePlayerStoppedWithTheDevicesMessage) {
    Install(RealTime());
    const auto source = NumberedFrames(4410);
    {
        m_pDriver->FailNextQuery();
        PlayerOwner owner(StereoFormat(44100), source, 8);
        owner.Player().Start();
        EXPECT_FALSE(owner.Player().IsRunning());
        EXPECT_EQ(m_pDriver->OpensSoFar(), 0);
    }
    {
        m_pDriver->FailNextOpen();
        PlayerOwner owner(StereoFormat(44100), source, 8);
        owner.Player().Start();
        EXPECT_FALSE(owner.Player().IsRunning());
    }
    {
        m_pDriver->FailPrepare(3);
        PlayerOwner owner(StereoFormat(44100), source, 8);
        owner.Player().Start();
        EXPECT_FALSE(owner.Player().IsRunning());
        // The device stays open and paused until the owner stops the player.
        EXPECT_EQ(m_pDriver->OpenDevices(), 1);
        owner.Player().Stop();
        EXPECT_EQ(m_pDriver->OpenDevices(), 0);
    }
    EXPECT_EQ(
        m_messages.Messages(),
        (std::vector<std::string>{
            "オーディオデバイスがないか、サポートされていないフォーマットです。",
            "再生デバイスのオープンに失敗しました。", "バッファが再生用に準備できませんでした。"}));
    EXPECT_TRUE(m_pDriver->Recording().empty());
}

TEST_F(WavePlayerTest, AFailedCloseAtTheEndOfTheFeedIsReportedFromTheFeeder) {
    Install(RealTime());
    const auto source = NumberedFrames(2205);
    m_pDriver->FailNextClose();
    PlayerOwner owner(StereoFormat(44100), source, 8);
    owner.Player().Start();
    ASSERT_TRUE(owner.Loop().RunUntil([this] { return !m_messages.Messages().empty(); },
                                      std::chrono::seconds(5)));
    // The device was forgotten after the failed close: stopping again closes nothing.
    EXPECT_TRUE(owner.Player().Stop());
    EXPECT_EQ(m_messages.Messages(),
              std::vector<std::string>{"再生デバイスのクローズに失敗しました。"});
    ExpectSourceThenSilence(m_pDriver->Recording(), source);
}

TEST_F(WavePlayerTest, RingIsSizedToHoldTheLeadAndHalfAgain) {
    EXPECT_EQ(CWavePlayer::LeadFrames(44100, kTailWaitMs, kPollMs), 4851);
    EXPECT_EQ(CWavePlayer::LeadFrames(8000, kTailWaitMs, kPollMs), 880);
    EXPECT_EQ(CWavePlayer::LeadFrames(11025, kTailWaitMs, kPollMs), 1212);
    EXPECT_EQ(CWavePlayer::LeadFrames(48000, kTailWaitMs, kPollMs), 5280);
    for (const std::uint32_t rate : {8000u, 22050u, 44100u, 48000u}) {
        EXPECT_EQ(CWavePlayer::BufferCountFor(rate, 4, kBufferBytes, 8, kTailWaitMs, kPollMs), 8);
    }
    for (const std::uint32_t rate : {74472u, 88200u, 96000u, 192000u}) {
        const std::int32_t count =
            CWavePlayer::BufferCountFor(rate, 4, kBufferBytes, 8, kTailWaitMs, kPollMs);
        const std::int64_t ringFrames = std::int64_t{count} * (kBufferBytes / 4);
        EXPECT_GE(ringFrames * 2, CWavePlayer::LeadFrames(rate, kTailWaitMs, kPollMs) * 3) << rate;
        EXPECT_LT((ringFrames - 1024) * 2, CWavePlayer::LeadFrames(rate, kTailWaitMs, kPollMs) * 3)
            << "more buffers than needed at " << rate;
    }
}

// Play and Stop at random moments, with failures injected now and then: no hang, no crash, no
// device left open, no frame out of place.
TEST_F(WavePlayerTest, SurvivesAThousandPlayStopCyclesAtRandomMoments) {
    EmulatedWaveOut::Options options = RealTime();
    options.jitterMicroseconds = 1000;
    Install(options);
    std::mt19937 random(20261206);
    const auto source = NumberedFrames(8000);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        const auto frames = static_cast<std::uint32_t>(random() % 8000);
        const std::vector<std::uint8_t> part(source.begin(),
                                             source.begin() + std::ptrdiff_t{frames} * 4);
        switch (random() % 12) {
            case 0:
                m_pDriver->FailNextOpen();
                break;
            case 1:
                m_pDriver->FailPrepare(static_cast<int>(random() % 8));
                break;
            case 2:
                m_pDriver->FailNextClose();
                break;
            default:
                break;
        }
        ResetProgress();
        m_pDriver->ClearRecording();
        PlayerOwner owner(StereoFormat(44100), part, 8);
        owner.Player().Start();
        // Sometimes into the tail wait or past the end, mostly somewhere in the middle.
        const auto playFor = std::chrono::milliseconds(random() % 200 < 20 ? 150 : random() % 12);
        owner.Loop().RunUntil([] { return false; }, playFor);
        owner.Player().Stop();
        ASSERT_EQ(m_pDriver->OpenDevices(), 0) << "cycle " << cycle;
        const std::vector<std::uint8_t> heard = m_pDriver->Recording();
        const std::size_t sourceBytes = std::min(heard.size(), part.size());
        ASSERT_TRUE(std::equal(
            heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(sourceBytes), part.begin()))
            << "cycle " << cycle;
        m_pDriver->FailPrepare(-1);
    }
}

}  // namespace
