#include "WaveBufferPool.h"

#include <cstring>
#include <new>

#include "platform/MessageBox.h"

CWaveBufferPool::CWaveBufferPool(std::int32_t bufferBytes, std::int32_t bufferCount)
    : m_bufferBytes(bufferBytes), m_bufferCount(bufferCount) {
    const std::size_t entries = bufferCount > 0 ? static_cast<std::size_t>(bufferCount) : 0;
    m_pHeaders.reset(new (std::nothrow) platform::WAVEHDR*[entries]());
    m_pBuffers.reset(new (std::nothrow) std::uint8_t*[entries]());
    m_ready = m_pHeaders && m_pBuffers && Allocate();
}

CWaveBufferPool::~CWaveBufferPool() {
    DestroyHeap();
}

bool CWaveBufferPool::Allocate() {
    m_hHeap = CPrivateHeap::Create();
    if (m_hHeap == nullptr) {
        return false;
    }
    if (m_bufferCount < 1) {
        return true;
    }
    bool allObtained = m_bufferBytes >= 0;
    // Every pair is attempted even after a failure, so the one message covers them all.
    const std::size_t count = m_bufferBytes >= 0 ? static_cast<std::size_t>(m_bufferCount) : 0;
    for (std::size_t i = 0; i < count; ++i) {
        void* pHeader = m_hHeap->AllocZeroed(sizeof(platform::WAVEHDR));
        m_pHeaders[i] = pHeader != nullptr ? new (pHeader) platform::WAVEHDR() : nullptr;
        m_pBuffers[i] = static_cast<std::uint8_t*>(
            m_hHeap->AllocZeroed(static_cast<std::size_t>(m_bufferBytes)));
        allObtained = allObtained && m_pHeaders[i] != nullptr && m_pBuffers[i] != nullptr;
    }
    if (!allObtained) {
        platform::ShowMessageBox("バッファの確保に失敗しました。");
    }
    return allObtained;
}

void CWaveBufferPool::ZeroBuffers() {
    if (!m_ready) {
        return;
    }
    for (std::int32_t i = 0; i < m_bufferCount; ++i) {
        std::memset(Buffer(i), 0, static_cast<std::size_t>(m_bufferBytes));
    }
}

void CWaveBufferPool::DestroyHeap() {
    delete m_hHeap;
    m_hHeap = nullptr;
}
