#include "PrivateHeap.h"

#include <cstdlib>
#include <new>

// Each block is preceded by a link to the block allocated before it, so the heap can release
// them all without a separate list.
struct CPrivateHeap::Block {
    Block* pNext;
    alignas(std::max_align_t) unsigned char bytes[1];
};

CPrivateHeap* CPrivateHeap::Create() {
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
    auto* pBlock = static_cast<Block*>(std::calloc(1, offsetof(Block, bytes) + bytes));
    if (pBlock == nullptr) {
        return nullptr;
    }
    pBlock->pNext = m_pFirst;
    m_pFirst = pBlock;
    return pBlock->bytes;
}
