#include "cli/Preview.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include "cli/Reporter.h"
#include "platform/MessageLoop.h"
#include "platform/PrintableText.h"
#include "platform/WaveOut.h"
#include "playback/Preview.h"
#include "wave/WaveData.h"

namespace {

constexpr std::chrono::milliseconds kDisplayInterval{100};

// Written by the feeder's progress callback and by the signal handler; read by the main loop.
std::atomic<std::uint32_t> g_fedFrames{0};
std::atomic<bool> g_playedOut{false};
std::atomic<bool> g_interrupted{false};

void OnPlayProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    g_fedFrames.store(fedFrames);
    if (fedFrames >= totalFrames) {
        g_playedOut.store(true);
    }
}

void OnInterrupt(int) {
    g_interrupted.store(true);
}

void ShowTime(std::uint32_t frames, std::uint32_t totalFrames, std::uint32_t samplesPerSec) {
    const double seconds = static_cast<double>(frames) / samplesPerSec;
    const double totalSeconds = static_cast<double>(totalFrames) / samplesPerSec;
    std::fprintf(stderr, "\r\033[K再生中 %02d:%04.1f / %02d:%04.1f", static_cast<int>(seconds) / 60,
                 seconds - 60 * (static_cast<int>(seconds) / 60),
                 static_cast<int>(totalSeconds) / 60,
                 totalSeconds - 60 * (static_cast<int>(totalSeconds) / 60));
    std::fflush(stderr);
}

}  // namespace

bool RunPlay(const std::string& input, const GainChoice& choice) {
    // The sound system gets ready while the file is read and scaled.
    std::jthread preparation(platform::waveOutPrepare);
    const CWaveData wave(input.c_str());
    if (!wave.HasSamples()) {
        return false;
    }
    const GainOutcome gain = ChooseGain(choice, NeedsPeak(choice) ? wave.GetPeak() : 0.0);
    const std::unique_ptr<CWaveData> pPlayWave = preview::MakePlayCopy(wave, gain.factor);
    if (!pPlayWave) {
        return false;
    }

    preparation.join();
    platform::CMessageLoop loop;
    platform::WAVEFORMATEX format;
    const std::unique_ptr<CWavePlayer> pPlayer =
        preview::MakePreviewPlayer(&loop, *pPlayWave, &format, OnPlayProgress);
    if (!pPlayer) {
        return false;
    }
    CWavePlayer& player = *pPlayer;
    const std::uint32_t totalFrames = pPlayWave->m_sampleBytes / 4;
    loop.SetWaveDoneHandler([&player](platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) {
        if (hWaveOut == player.DeviceHandle()) {
            player.OnBufferDone(pHeader);
        }
    });

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    player.Start();
    const bool started = player.IsRunning();
    const bool showTime = started && ::isatty(STDERR_FILENO) == 1;
    while (started && !g_playedOut.load() && !g_interrupted.load()) {
        loop.RunUntil([] { return g_playedOut.load() || g_interrupted.load(); }, kDisplayInterval);
        if (showTime) {
            ShowTime(std::min(g_fedFrames.load(), totalFrames), totalFrames, format.nSamplesPerSec);
        }
    }
    player.Stop();
    // Buffers handed back by the stop are of no more use.
    loop.ProcessPending();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (showTime) {
        std::fputs("\r\033[K", stderr);
    }
    if (started) {
        std::printf("%s\t%s %s\n", GainText(gain).c_str(),
                    platform::EscapeForDisplay(input).c_str(),
                    g_interrupted.load() ? "(停止しました)" : "(再生しました)");
    }
    return started;
}
