// CPrivateHeap: a growable heap of zero-filled blocks that are all released together when the
// heap is destroyed; nobody frees a single block.
//
// Threads: one thread at a time. The test hooks may be set from any thread.
#pragma once

#include <cstddef>

class CPrivateHeap {
  public:
    // A new heap, or null when it cannot be created.
    static CPrivateHeap* Create();
    ~CPrivateHeap();
    CPrivateHeap(const CPrivateHeap&) = delete;
    CPrivateHeap& operator=(const CPrivateHeap&) = delete;

    // A zero-filled block of bytes bytes, or null when it cannot be obtained.
    void* AllocZeroed(std::size_t bytes);

    // Test hooks: make the next heap creation fail, or the allocation that comes `count`
    // allocations from now (0 = the next one) fail once. Used to exercise the failure paths.
    static void FailNextCreateForTesting();
    static void FailAllocationForTesting(int count);

  private:
    CPrivateHeap() = default;

    struct Block;
    Block* m_pFirst = nullptr;
};
