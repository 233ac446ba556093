// What the sample kernels of wave/ share among their files: the choice between the baseline and
// the AVX2 build of a loop, and the split of a long span between two threads. For the kernels'
// own files only.
//
// Threads: HasAvx2 may be called from any thread. InTwoHalves runs work on the calling thread and
// on at most one more, started and joined within the call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <thread>

#include "wave/SampleKernels.h"

// Samples are moved in and out of the byte spans through memcpy as host integers.
static_assert(std::endian::native == std::endian::little, "a little-endian host is assumed");

// Loops marked with this are built twice, for the baseline processor and for AVX2, and the AVX2
// build is chosen at the first call where the processor has it (not through an ifunc, which the
// thread sanitizer cannot run). Both compute the same arithmetic, so they give the same bytes;
// the wider one only takes fewer instructions for data that is in the cache already.
#if defined(__x86_64__)
#define SONORETTE_AVX2 __attribute__((target("avx2")))
#else
#define SONORETTE_AVX2
#endif

namespace samplekernels {

inline bool HasAvx2() {
#if defined(__x86_64__)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

// The first key from quiet towards loud (both included) at which clips(key) holds, or one past
// loud when it does not hold there; clips holds from some key on, and not at quiet. The samples
// that a gain clips lie beyond such a key on each side of 0, since a product moves away from 0 as
// its sample does.
template <typename Clips>
std::int64_t FirstClippingKey(std::int64_t quiet, std::int64_t loud, const Clips& clips) {
    const std::int64_t step = loud > quiet ? 1 : -1;
    if (!clips(loud)) {
        return loud + step;
    }
    while (loud - quiet != step) {
        const std::int64_t middle = quiet + (loud - quiet) / 2;
        (clips(middle) ? loud : quiet) = middle;
    }
    return loud;
}

// Runs work(first, last) over [0, count), count units of unitBytes each: in two halves when they
// come to kSplitBytes or more and the machine has two CPUs, the first half on a second thread;
// otherwise, or when no thread can be started, in one call on this thread.
template <typename Work>
void InTwoHalves(std::size_t count, std::size_t unitBytes, const Work& work) {
    static const bool twoCpus = std::thread::hardware_concurrency() >= 2;
    if (!twoCpus || count * unitBytes < kSplitBytes) {
        work(std::size_t{0}, count);
        return;
    }
    // The first half ends at a multiple of 4096 units, on a page boundary of an aligned span.
    const std::size_t half = (count / 2) & ~std::size_t{4095};
    std::thread helper;
    try {
        helper = std::thread([&work, half] { work(std::size_t{0}, half); });
    } catch (const std::system_error&) {
        work(std::size_t{0}, count);
        return;
    }
    work(half, count);
    helper.join();
}

}  // namespace samplekernels
