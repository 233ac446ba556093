#include "PrivateHeap.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_failNextCreate{false};
// Allocations to let through before one fails; negative when none is to fail.
std::atomic<int> g_allocationsBeforeFailure{-1};

bool TakeAllocationFailure() {
    int remaining = g_allocationsBeforeFailure.load();
    while (remaining >= 0) {
        if (g_allocationsBeforeFailure.compare_exchange_weak(remaining, remaining - 1)) {
            return remaining == 0;
        }
    }
    return false;
}

}  // namespace

// Each block is preceded by a link to the block allocated before it, so the heap can release
// them all without a separate list.
struct CPrivateHeap::Block {
    Block* pNext;
    alignas(std::max_align_t) unsigned char bytes[1];
};

CPrivateHeap* CPrivateHeap::Create() {
    if (g_failNextCreate.exchange(false)) {
        return nullptr;
    }
    return new (std::nothrow) CPrivateHeap();
}

CPrivateHeap::~CPrivateHeap() {
    while (m_pFirst != nullptr) {
        Block* pNext = m_pFirst->pNext;
        std::free(m_pFirst);
        m_pFirst = pNext;
    }
}

void* CPrivateHeap::AllocZeroed(std::size_t bytes) {
    if (TakeAllocationFailure()) {
        return nullptr;
    }
    auto* pBlock = static_cast<Block*>(std::calloc(1, offsetof(Block, bytes) + bytes));
    if (pBlock == nullptr) {
        return nullptr;
    }
    pBlock->pNext = m_pFirst;
    m_pFirst = pBlock;
    return pBlock->bytes;
}

void CPrivateHeap::FailNextCreateForTesting() {
    g_failNextCreate = true;
}

void CPrivateHeap::FailAllocationForTesting(int count) {
    g_allocationsBeforeFailure = count;
}
