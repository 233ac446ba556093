#include "platform/testing/FaultInjection.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "platform/WaveOut.h"

namespace {

// Calls to let through before one fails; negative when none is to fail.
std::atomic<int> g_prepareCountdown{-1};
std::atomic<int> g_writeCountdown{-1};
std::atomic<int> g_callocCountdown{-1};
std::atomic<bool> g_failNextNothrowNew{false};
// Armed for the thread that asks, so that other threads' allocations do not count.
thread_local int t_newCountdown = -1;

bool TakeFailure(std::atomic<int>& countdown) {
    int remaining = countdown.load();
    while (remaining >= 0) {
        if (countdown.compare_exchange_weak(remaining, remaining - 1)) {
            return remaining == 0;
        }
    }
    return false;
}

}  // namespace

namespace faults {

void FailWaveOutPrepare(int callsFromNow) {
    g_prepareCountdown = callsFromNow;
}

void FailWaveOutWrite(int callsFromNow) {
    g_writeCountdown = callsFromNow;
}

void FailNextNothrowNew() {
    g_failNextNothrowNew = true;
}

void FailCalloc(int count) {
    g_callocCountdown = count;
}

void FailNew(int count) {
    t_newCountdown = count;
}

bool NewFailureArmed() {
    return t_newCountdown >= 0;
}

}  // namespace faults

// The wrapped calls, by their linker names: platform::waveOutPrepareHeader and
// platform::waveOutWrite (handle, header, header size), the non-throwing and the throwing
// operator new of one object, and calloc. Only code linked into the test executable is
// redirected; the shared libraries it uses keep the real ones.
using platform::HWAVEOUT;
using platform::MMRESULT;
using platform::WAVEHDR;

extern "C" {
MMRESULT __real__ZN8platform20waveOutPrepareHeaderEmPNS_7WAVEHDREj(HWAVEOUT, WAVEHDR*,
                                                                   std::uint32_t);
MMRESULT __real__ZN8platform12waveOutWriteEmPNS_7WAVEHDREj(HWAVEOUT, WAVEHDR*, std::uint32_t);
void* __real__ZnwmRKSt9nothrow_t(std::size_t, const std::nothrow_t&);
void* __real__Znwm(std::size_t);
void* __real_calloc(std::size_t, std::size_t);

MMRESULT __wrap__ZN8platform20waveOutPrepareHeaderEmPNS_7WAVEHDREj(HWAVEOUT hWaveOut,
                                                                   WAVEHDR* pHeader,
                                                                   std::uint32_t headerBytes) {
    if (TakeFailure(g_prepareCountdown)) {
        return platform::MMSYSERR_NOMEM;
    }
    return __real__ZN8platform20waveOutPrepareHeaderEmPNS_7WAVEHDREj(hWaveOut, pHeader,
                                                                     headerBytes);
}

MMRESULT __wrap__ZN8platform12waveOutWriteEmPNS_7WAVEHDREj(HWAVEOUT hWaveOut, WAVEHDR* pHeader,
                                                           std::uint32_t headerBytes) {
    if (TakeFailure(g_writeCountdown)) {
        return platform::MMSYSERR_NOMEM;
    }
    return __real__ZN8platform12waveOutWriteEmPNS_7WAVEHDREj(hWaveOut, pHeader, headerBytes);
}

void* __wrap__ZnwmRKSt9nothrow_t(std::size_t bytes, const std::nothrow_t& tag) {
    if (g_failNextNothrowNew.exchange(false)) {
        return nullptr;
    }
    return __real__ZnwmRKSt9nothrow_t(bytes, tag);
}

void* __wrap__Znwm(std::size_t bytes) {
    if (t_newCountdown >= 0 && t_newCountdown-- == 0) {
        throw std::bad_alloc();
    }
    return __real__Znwm(bytes);
}

void* __wrap_calloc(std::size_t count, std::size_t bytes) {
    if (TakeFailure(g_callocCountdown)) {
        return nullptr;
    }
    return __real_calloc(count, bytes);
}
}
