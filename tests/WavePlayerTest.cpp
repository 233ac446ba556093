// The streaming player on the emulated device: what the device plays must be the source, in
// order from its first frame to its last, then silence, whatever the rate, latency and timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "TestSupport.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/testing/EmulatedWaveOut.h"
#include "platform/testing/FaultInjection.h"
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
std::atomic<int> g_steps{0};
void OnProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    g_fedFrames = fedFrames;
    g_playedOut = g_playedOut || fedFrames >= totalFrames;
    ++g_steps;
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
                             std::uint32_t jitterUs = 0, bool realTime = true,
                             std::uint32_t periodFrames = 0) {
        Release();
        m_pDriver = std::make_unique<EmulatedWaveOut>(
            EmulatedWaveOut::Options{realTime, periodFrames != 0 ? periodFrames : rate / 200,
                                     rate * latencyMs / 1000, jitterUs, rate});
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
        g_steps = 0;
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
        // On a real clock a loaded machine can hold the feeder up for as long as it likes, so
        // these devices have the margin of the program's real one, whose stream holds 200 ms;
        // devices that take all they may at the worst moments are played on the test's clock.
        for (const auto& [latencyMs, jitterUs, periodFrames] :
             {std::tuple{200u, 0u, 0u}, std::tuple{200u, 4000u, 0u},
              std::tuple{40u, 4000u, 4096u}}) {
            for (const std::uint32_t rate : {8000u, 22050u, 44100u, 96000u, 192000u}) {
                SCOPED_TRACE(testing::Message()
                             << rate << " Hz, " << latencyMs << " ms latency, " << jitterUs
                             << " us jitter, period " << periodFrames << ", busy " << busyCore);
                const EmulatedWaveOut& driver =
                    Install(rate, latencyMs, jitterUs, true, periodFrames);
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

// A device that never takes a frame again (a sound server that died) ends the preview after a
// few seconds, as its end would, with the device closed and nothing to tell: the owner's Play
// comes back instead of waiting for ever.
TEST_F(WavePlayerTest, APreviewOnADeviceThatTakesNothingEndsByItself) {
    const EmulatedWaveOut& driver = Install(44100, 0, 0, false);  // the test never moves it
    CWavePlayer& player = Play(44100, Numbered(44100 * 60));
    ASSERT_TRUE(m_loop.RunUntil([&] { return g_playedOut && !driver.OpenDevices(); }, 20s));
    EXPECT_FALSE(player.IsRunning());
    EXPECT_TRUE(player.Stop());
    EXPECT_TRUE(m_messages.Messages().empty());
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

// The device takes, right after every feeder step, all that its contract allows before the
// next: its burst and the frames of a poll interval and a late wake-up. Every frame must
// already be in the ring, however large the burst.
TEST_F(WavePlayerTest, ADeviceTakingAllItMayAtOnceStillHearsEveryFrame) {
    for (const auto& [rate, periodFrames, latencyMs] :
         {std::tuple{8000u, 64u, 0u}, std::tuple{44100u, 256u, 0u}, std::tuple{44100u, 4096u, 40u},
          std::tuple{96000u, 8192u, 40u}, std::tuple{192000u, 1024u, 0u}}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, period " << periodFrames);
        EmulatedWaveOut& driver = Install(rate, latencyMs, 0, false, periodFrames);
        const std::uint32_t allowed = periodFrames + rate * latencyMs / 1000 +
                                      rate * (kPollMs + CWavePlayer::kLateWakeMs) / 1000;
        const Frames source = Numbered(rate / 2);
        CWavePlayer& player = Play(rate, source);
        ASSERT_TRUE(player.IsRunning());
        EXPECT_GE(player.LeadFramesInUse(), static_cast<std::int32_t>(allowed));
        EXPECT_GE(player.BufferCount() * 1024, player.LeadFramesInUse() * 3 / 2);
        // A step may have read the position before an advance and end after it, so the device
        // moves on only once a second step has ended: that one read the new position.
        // Once a step finds the end within its lead it feeds the last frame and reports no more
        // steps until the device has taken it.
        const auto totalFrames = static_cast<std::uint32_t>(source.size() / 4);
        for (std::uint32_t taken = allowed;; taken += allowed) {
            const int steps = g_steps;
            driver.Advance(allowed);
            if (taken + static_cast<std::uint32_t>(player.LeadFramesInUse()) >= totalFrames) {
                break;
            }
            ASSERT_TRUE(m_loop.RunUntil([&] { return g_steps >= steps + 2; }, 5s));
        }
        // The last frame is fed, and the device has taken all that was written: from here it
        // goes on in real time, once the feeder has written on, until the feeder ends the run.
        m_loop.RunUntil([] { return false; }, 100ms);
        for (int ms = 0; !(g_playedOut && driver.OpenDevices() == 0); ms += 5) {
            ASSERT_LT(ms, 10000);
            driver.Advance(rate / 200);
            m_loop.RunUntil([] { return false; }, 5ms);
        }
        const Frames heard = driver.Recording();
        ASSERT_TRUE(Begins(heard, source));
        EXPECT_TRUE(std::all_of(heard.begin() + std::ssize(source), heard.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
}

TEST_F(WavePlayerTest, APlayerThatEndedByItselfStartsAgainFromTheFirstFrame) {
    EmulatedWaveOut& driver = Install(44100);
    const Frames source = Numbered(4410);
    CWavePlayer& player = Play(44100, source);
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(m_loop.RunUntil([&] { return g_playedOut && !driver.OpenDevices(); }, 5s));
        EXPECT_FALSE(player.IsRunning());
        EXPECT_TRUE(Begins(driver.Recording(), source)) << run;
        driver.ClearRecording();
        g_playedOut = false;
        player.Start();
        ASSERT_TRUE(player.IsRunning()) << run;
    }
}

// A failed requeue's message box runs an event loop, which here delivers the next finished
// buffer to the same thread at once: the player must not be holding its lock by then.
TEST_F(WavePlayerTest, ARequeueFailureIsShownOnlyOnceThePlayerHasLetItsLockGo) {
    std::atomic<bool> answered{false};
    std::jthread watchdog([&answered](std::stop_token stop) {
        for (int i = 0; i < 200 && !stop.stop_requested(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        if (!answered && !stop.stop_requested()) {
            std::fputs("the message box's event loop waited for the player's lock\n", stderr);
            std::abort();
        }
    });
    EmulatedWaveOut& driver = Install(44100);
    std::vector<std::string> shown;
    platform::SetMessageHandler([&](std::string_view text, const platform::MessageSubject&) {
        shown.emplace_back(text);
        m_loop.RunUntil([] { return false; }, 20ms);
    });
    driver.FailWrite(8 + 2);  // after the eight of the prime, the third requeue
    const Frames source = Numbered(8820);
    Play(44100, source);
    ASSERT_TRUE(m_loop.RunUntil([&] { return g_playedOut && !driver.OpenDevices(); }, 5s));
    answered = true;
    platform::SetMessageHandler({});
    EXPECT_EQ(shown, std::vector<std::string>{"バッファを再生キューに登録できませんでした。"});
}

// Every allocation of a start may fail, and so may the start of the feeder thread: the user is
// told, nothing throws, and the device is not left open.
TEST_F(WavePlayerTest, AnAllocationFailureAtStartIsShownAndLeavesNoDeviceOpen) {
    EmulatedWaveOut& driver = Install(44100, 0, 0, true, 4096);  // the ring must grow, too
    const Frames source = Numbered(4410);
    int failing = 0;
    for (;; ++failing) {
        SCOPED_TRACE(failing);
        m_messages.Clear();
        m_format = {1, 2, 44100, 44100 * 4, 4, 16};
        CWavePlayer player(&m_loop, platform::WAVE_MAPPER, &m_format, source.data(),
                           static_cast<std::uint32_t>(source.size() / 4), kBufferBytes, 8,
                           kTailWaitMs, kPollMs, OnProgress);
        faults::FailNew(failing);
        player.Start();
        const bool failed = !faults::NewFailureArmed() && !player.IsRunning();
        faults::FailNew(-1);
        if (!failed) {
            EXPECT_TRUE(player.IsRunning());
            break;
        }
        EXPECT_EQ(driver.OpenDevices(), 0);
        const std::vector<std::string> shown = m_messages.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0] == "再生を開始できませんでした。" ||
                    shown[0] == "再生デバイスのオープンに失敗しました。" ||
                    shown[0] == "バッファの確保に失敗しました。")
            << shown[0];
    }
    EXPECT_GT(failing, 1);  // the ring's cursors and the feeder thread at least
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
