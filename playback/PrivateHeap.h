// CPrivateHeap: a growable heap of zero-filled blocks that are all released together when the
// heap is destroyed; nobody frees a single block.
//
// Threads: one thread at a time.
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

  private:
    CPrivateHeap() = default;

    struct Block;
    Block* m_pFirst = nullptr;
};
