// The preview on the real PortAudio path: how soon the first frame is heard after Play, and what
// the feeder thread costs per second of sound. Run it through bench/preview_bench.sh, which
// supplies a private sound server and checks the recording for missing frames and gaps.
//
//   sonorette-preview-bench FILE.wav [--busy]
//
// --busy keeps another thread spinning for the whole preview, taking a core from the player.
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/MessageLoop.h"
#include "platform/WaveOut.h"
#include "playback/Preview.h"
#include "wave/WaveData.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_playedOut{false};

void OnProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    if (fedFrames >= totalFrames) {
        g_playedOut.store(true);
    }
}

// Nanoseconds that the named thread of this process has run, or -1 when it is not there.
long long ThreadCpuNanoseconds(const char* name) {
    DIR* pTasks = ::opendir("/proc/self/task");
    if (pTasks == nullptr) {
        return -1;
    }
    long long result = -1;
    while (const dirent* pEntry = ::readdir(pTasks)) {
        const std::string task = std::string("/proc/self/task/") + pEntry->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm == name) {
            std::ifstream(task + "/schedstat") >> result;
            break;
        }
    }
    ::closedir(pTasks);
    return result;
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: sonorette-preview-bench FILE.wav [--busy]\n", stderr);
        return 2;
    }
    const bool busy = argc > 2 && std::strcmp(argv[2], "--busy") == 0;
    const CWaveData wave(argv[1]);
    const std::unique_ptr<CWaveData> pPlayWave = preview::MakePlayCopy(wave, GainFactor(100));
    if (!pPlayWave) {
        return 1;
    }

    std::atomic<bool> spinning{busy};
    std::thread spinner([&spinning] {
        volatile std::uint64_t sink = 0;
        while (spinning.load(std::memory_order_relaxed)) {
            sink = sink + 1;
        }
    });

    platform::CMessageLoop loop;
    platform::WAVEFORMATEX format;
    const std::unique_ptr<CWavePlayer> pPlayer =
        preview::MakePreviewPlayer(&loop, *pPlayWave, &format, OnProgress);
    if (!pPlayer) {
        return 1;
    }
    CWavePlayer& player = *pPlayer;
    loop.SetWaveDoneHandler([&player](platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) {
        if (hWaveOut == player.DeviceHandle()) {
            player.OnBufferDone(pHeader);
        }
    });

    // The programs ready the sound system before the user can press Play.
    platform::waveOutPrepare();
    const double cpuBefore = ProcessCpuSeconds();
    // On the wall clock as well, which times the recording of what was really heard.
    const auto pressedWallNanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count();
    const Clock::time_point pressed = Clock::now();
    player.Start();
    if (!player.IsRunning()) {
        spinning = false;
        spinner.join();
        return 1;
    }
    // The first frame is heard a latency after the device first takes it.
    Clock::time_point firstHeard{};
    std::uint32_t latencyFrames = 0;
    while (firstHeard == Clock::time_point{}) {
        platform::MMTIME time;
        platform::waveOutGetPosition(player.DeviceHandle(), &time, sizeof time);
        if (time.sample > 0) {
            platform::waveOutGetLatency(player.DeviceHandle(), &latencyFrames);
            firstHeard = Clock::now() + std::chrono::microseconds(std::uint64_t{latencyFrames} *
                                                                  1000000 / format.nSamplesPerSec);
        }
        loop.RunUntil([] { return false; }, std::chrono::milliseconds(0));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    long long feederNanoseconds = 0;
    while (!g_playedOut.load()) {
        loop.RunUntil([] { return g_playedOut.load(); }, std::chrono::milliseconds(100));
        feederNanoseconds = std::max(feederNanoseconds, ThreadCpuNanoseconds("sonorette-feed"));
    }
    player.Stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - pressed).count();
    const double cpuSeconds = ProcessCpuSeconds() - cpuBefore;
    spinning = false;
    spinner.join();

    const double startMs = std::chrono::duration<double, std::milli>(firstHeard - pressed).count();
    const double latencyMs = 1000.0 * latencyFrames / format.nSamplesPerSec;
    std::printf("start to first frame heard: %.1f ms (output latency %.1f ms, so %.1f ms more)\n",
                startMs, latencyMs, startMs - latencyMs);
    std::printf("feeder thread CPU: %.3f %% of a core over %.1f s\n",
                100.0 * static_cast<double>(feederNanoseconds) * 1e-9 / seconds, seconds);
    std::printf("whole process CPU (feeder, audio callback, notifications, loop%s): %.3f %%\n",
                busy ? ", spinner" : "", 100.0 * cpuSeconds / seconds);
    std::printf("start_overhead_ms=%.1f feeder_cpu_percent=%.3f latency_ms=%.1f pressed_ns=%lld\n",
                startMs - latencyMs,
                100.0 * static_cast<double>(feederNanoseconds) * 1e-9 / seconds, latencyMs,
                static_cast<long long>(pressedWallNanoseconds));
    return 0;
}
