// The streaming player on the emulated device: what the device plays must be the source, in
// order from its first frame to its last, then silence, whatever the rate, latency and timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "TestSupport.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/MessageLoop.h"
#include "playback/WavePlayer.h"

namespace {

using namespace std::chrono_literals;
using platform::EmulatedWaveOut;
using Frames = std::vector<std::uint8_t>;
constexpr std::int32_t kBufferBytes = 4096;
constexpr std::uint32_t kTailWaitMs = 100;
constexpr std::uint32_t kPollMs = 10;

std::atomic<std::uint32_t> g_fedFrames{0};
std::atomic<bool> g_playedOut{false};
void OnProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    g_fedFrames = fedFrames;
    g_playedOut = g_playedOut || fedFrames >= totalFrames;
}

// Stereo 16-bit frames, never silent nor equal, so a lost, repeated or misplaced frame shows.
Frames Numbered(std::uint32_t frameCount) {
    std::vector<std::int16_t> samples;
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        samples.insert(samples.end(),
                       {static_cast<std::int16_t>(i % 32000 + 1),
                        static_cast<std::int16_t>(-1 - static_cast<int>(i / 32000))});
    }
    return testsupport::Samples16(samples);
}
bool Begins(const Frames& whole, const Frames& head) {
    return head.size() <= whole.size() && std::equal(head.begin(), head.end(), whole.begin());
}

using Fail = void (EmulatedWaveOut::*)();

class WavePlayerTest : public ::testing::Test {
  protected:
    // Real time, 5 ms periods as sound cards commonly take; otherwise only Advance plays.
    EmulatedWaveOut& Install(std::uint32_t rate, std::uint32_t latencyMs = 0,
                             std::uint32_t jitterUs = 0, bool realTime = true) {
        Release();
        m_pDriver = std::make_unique<EmulatedWaveOut>(EmulatedWaveOut::Options{
            realTime, rate / 200, rate * latencyMs / 1000, jitterUs, rate});
        platform::SetWaveOutDriver(m_pDriver.get());
        return *m_pDriver;
    }
    // Starts a player with a ring sized as its owners size it; the owner's loop, on the test's
    // thread, hands the buffers of its device back to it.
    CWavePlayer& Play(std::uint32_t rate, const Frames& source) {
        Release();
        m_format = {1, 2, rate, rate * 4, 4, 16};
        g_fedFrames = 0;
        g_playedOut = false;
        // The player reads its source until it is destroyed, so the fixture keeps a copy.
        m_source = source;
        m_pPlayer = std::make_unique<CWavePlayer>(
            &m_loop, platform::WAVE_MAPPER, &m_format, m_source.data(),
            static_cast<std::uint32_t>(m_source.size() / 4), kBufferBytes,
            CWavePlayer::BufferCountFor(rate, 4, kBufferBytes, 8, kTailWaitMs, kPollMs),
            kTailWaitMs, kPollMs, OnProgress);
        m_pPlayer->Start();
        return *m_pPlayer;
    }
    void SetUp() override {
        m_loop.SetWaveDoneHandler([this](platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) {
            if (m_pPlayer && hWaveOut == m_pPlayer->DeviceHandle()) {
                m_pPlayer->OnBufferDone(pHeader);
            }
        });
    }
    // Destroys the player, then drops what its device left in the loop.
    void Release() {
        m_pPlayer.reset();
        m_loop.ProcessPending();
    }
    void TearDown() override {
        Release();
        platform::SetWaveOutDriver(nullptr);
    }

    std::unique_ptr<EmulatedWaveOut> m_pDriver;
    testsupport::MessageCapture m_messages;
    platform::WAVEFORMATEX m_format;
    Frames m_source;
    platform::CMessageLoop m_loop;
    std::unique_ptr<CWavePlayer> m_pPlayer;
};

TEST_F(WavePlayerTest, PlaysEveryFrameInOrderThenSilenceAcrossRatesAndTimings) {
    for (const bool busyCore : {false, true}) {
        std::jthread spinner([busyCore](std::stop_token stop) {  // the other core busy
            while (busyCore && !stop.stop_requested()) {
            }
        });
        for (const auto& [latencyMs, jitterUs] : {std::pair{0u, 0u}, std::pair{40u, 4000u}}) {
            for (const std::uint32_t rate : {8000u, 22050u, 44100u, 96000u, 192000u}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << latencyMs << " ms latency, "
                                                << jitterUs << " us jitter, busy " << busyCore);
                const EmulatedWaveOut& driver = Install(rate, latencyMs, jitterUs);
                const Frames source = Numbered(rate * 3 / 10);
                ASSERT_TRUE(Play(rate, source).IsRunning());
                ASSERT_TRUE(
                    m_loop.RunUntil([&] { return g_playedOut && !driver.OpenDevices(); }, 20s));
                const Frames heard = driver.Recording();
                ASSERT_TRUE(Begins(heard, source));
                EXPECT_TRUE(std::all_of(heard.begin() + std::ssize(source), heard.end(),
                                        [](std::uint8_t b) { return b == 0; }));
                EXPECT_EQ(g_fedFrames, source.size() / 4);
            }
        }
    }
    EXPECT_TRUE(m_messages.Messages().empty());
}

TEST_F(WavePlayerTest, TheFirstFramesAreInTheRingBeforeTheDeviceStarts) {
    EmulatedWaveOut& driver = Install(44100, 0, 0, false);  // only the test moves the clock
    const Frames source = Numbered(44100);
    Play(44100, source);
    driver.Advance(4096);
    EXPECT_EQ(driver.Recording(), Frames(source.begin(), source.begin() + 4096 * 4));
}

TEST_F(WavePlayerTest, StopSilencesAtOnceAndARestartBeginsAtTheFirstFrame) {
    EmulatedWaveOut& driver = Install(44100);
    const Frames source = Numbered(44100 * 2);
    CWavePlayer& player = Play(44100, source);
    for (const std::uint32_t frames : {20000u, 10000u}) {
        m_loop.RunUntil([frames] { return g_fedFrames > frames; }, 5s);
        EXPECT_TRUE(player.Stop());
        const Frames heard = driver.Recording();
        EXPECT_TRUE(!player.IsRunning() && driver.OpenDevices() == 0 && !heard.empty());
        EXPECT_TRUE(heard.size() < source.size() && Begins(source, heard));
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(driver.Recording().size(), heard.size()) << "heard after the stop";
        driver.ClearRecording();
        g_fedFrames = 0;
        player.Start();
    }
}

TEST_F(WavePlayerTest, AFailedStartLeavesThePlayerStoppedWithTheDevicesMessage) {
    EmulatedWaveOut& driver = Install(44100);
    const Frames source = Numbered(4410);
    for (const auto& [fail, openAfter, message] :
         std::initializer_list<std::tuple<Fail, int, std::string>>{
             {&EmulatedWaveOut::FailNextQuery, 0,
              "オーディオデバイスがないか、サポートされていないフォーマットです。"},
             {&EmulatedWaveOut::FailNextOpen, 0, "再生デバイスのオープンに失敗しました。"},
             {nullptr, 1, "バッファが再生用に準備できませんでした。"}}) {  // open till Stop
        m_messages.Clear();
        fail != nullptr ? (driver.*fail)() : driver.FailPrepare(3);
        EXPECT_FALSE(Play(44100, source).IsRunning());
        EXPECT_EQ(driver.OpenDevices(), openAfter);
        EXPECT_EQ(m_messages.Messages(), std::vector{message});
        m_pPlayer->Stop();
        EXPECT_EQ(driver.OpenDevices(), 0);
    }
    EXPECT_TRUE(driver.Recording().empty());
}

TEST_F(WavePlayerTest, AFailedCloseAtTheEndOfTheFeedIsReported) {
    EmulatedWaveOut& driver = Install(44100);
    const Frames source = Numbered(2205);
    driver.FailNextClose();
    CWavePlayer& player = Play(44100, source);
    ASSERT_TRUE(m_loop.RunUntil([this] { return !m_messages.Messages().empty(); }, 5s));
    EXPECT_TRUE(player.Stop());  // the device was forgotten: nothing left to close
    EXPECT_EQ(m_messages.Messages(),
              std::vector<std::string>{"再生デバイスのクローズに失敗しました。"});
    EXPECT_TRUE(Begins(driver.Recording(), source));
}

TEST_F(WavePlayerTest, RingHoldsTheLeadAndHalfAgainAndNeverFewerThanTheMinimum) {
    for (const auto& [rate, buffers] : {std::pair{8000u, 8}, std::pair{48000u, 8},
                                        std::pair{74472u, 12}, std::pair{192000u, 31}}) {
        EXPECT_EQ(CWavePlayer::BufferCountFor(rate, 4, kBufferBytes, 8, kTailWaitMs, kPollMs),
                  buffers)
            << rate;
    }
}

// Play and Stop at random moments, with failures injected now and then: no hang, no crash, no
// device left open, no frame out of place.
TEST_F(WavePlayerTest, SurvivesAThousandPlayStopCyclesAtRandomMoments) {
    EmulatedWaveOut& driver = Install(44100, 0, 1000);
    std::mt19937 random(20261206);
    const Frames source = Numbered(8000);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        const Frames prefix(source.begin(), source.begin() + std::ptrdiff_t(random() % 8000) * 4);
        const Fail fails[] = {&EmulatedWaveOut::FailNextOpen, &EmulatedWaveOut::FailNextClose};
        if (const auto fault = random() % 12; fault < 3) {
            fault < 2 ? (driver.*fails[fault])() : driver.FailPrepare(int(random() % 8));
        }
        driver.ClearRecording();
        Play(44100, prefix);
        // Sometimes into the tail wait or past the end, mostly somewhere in the middle.
        m_loop.RunUntil([] { return false; },
                        std::chrono::milliseconds(random() % 10 < 1 ? 150 : random() % 12));
        m_pPlayer->Stop();
        ASSERT_EQ(driver.OpenDevices(), 0) << "cycle " << cycle;
        const Frames heard = driver.Recording();
        ASSERT_TRUE(Begins(heard, prefix) || Begins(prefix, heard)) << "cycle " << cycle;
        driver.FailPrepare(-1);
    }
}

}  // namespace
