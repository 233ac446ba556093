#include "RemoveOnSignal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

enum SlotState : int { kFree, kFilling, kArmed };

// The handler reads the paths, so they live in static storage and are published through a
// lock-free state.
struct Slot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);

Slot g_slots[CRemoveOnSignal::kMaxArmed];

std::mutex g_dispositionMutex;
int g_armedCount = 0;
bool g_takenOver[std::size(kSignals)] = {};

extern "C" void RemoveArmedFiles(int signalNumber) {
    for (Slot& slot : g_slots) {
        if (slot.state.load() == kArmed) {
            ::unlink(slot.path);
        }
    }
    // The signal is blocked while its handler runs: raised again with the default disposition,
    // it ends the program as soon as the handler returns.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void TakeOverDefaultSignals() {
    struct sigaction removing {};
    removing.sa_handler = RemoveArmedFiles;
    sigfillset(&removing.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        struct sigaction current {};
        g_takenOver[i] = ::sigaction(kSignals[i], nullptr, &current) == 0 &&
                         (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL &&
                         ::sigaction(kSignals[i], &removing, nullptr) == 0;
    }
}

// A handler that the program installed since is left alone.
void GiveBackSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        struct sigaction current {};
        if (g_takenOver[i] && ::sigaction(kSignals[i], nullptr, &current) == 0 &&
            (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == RemoveArmedFiles) {
            ::signal(kSignals[i], SIG_DFL);
        }
        g_takenOver[i] = false;
    }
}

}  // namespace

void CRemoveOnSignal::Arm(const std::string& path) {
    Disarm();
    if (path.size() >= PATH_MAX) {
        return;
    }
    for (int i = 0; i < static_cast<int>(std::size(g_slots)); ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].state.store(kArmed);
            m_slot = i;
            break;
        }
    }
    if (m_slot < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_dispositionMutex);
    if (g_armedCount++ == 0) {
        TakeOverDefaultSignals();
    }
}

void CRemoveOnSignal::Disarm() {
    if (m_slot < 0) {
        return;
    }
    g_slots[m_slot].state.store(kFree);
    m_slot = -1;
    std::lock_guard<std::mutex> lock(g_dispositionMutex);
    if (--g_armedCount == 0) {
        GiveBackSignals();
    }
}
