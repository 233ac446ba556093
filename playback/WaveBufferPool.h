// CWaveBufferPool: the memory of the playback ring: bufferCount headers and bufferCount silent
// buffers of bufferBytes bytes each, all from a private heap released as a whole.
//
// Ownership: the pool owns the heap and through it every header and buffer; the output device
// owns the pool and reads its fields directly. Header i belongs to buffer i.
// Threads: built, cleared and destroyed on the thread that owns the player; nothing here is
// called while sound plays.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/WaveFormat.h"
#include "playback/PrivateHeap.h"

class CWaveBufferPool {
  public:
    // Obtains every header and buffer; if any cannot be obtained the user is told once and the
    // pool is not ready.
    CWaveBufferPool(std::int32_t bufferBytes, std::int32_t bufferCount);
    virtual ~CWaveBufferPool();
    CWaveBufferPool(const CWaveBufferPool&) = delete;
    CWaveBufferPool& operator=(const CWaveBufferPool&) = delete;

    bool IsReady() const { return m_ready; }
    platform::WAVEHDR* Header(std::int32_t i) const {
        return m_pHeaders[static_cast<std::size_t>(i)];
    }
    std::uint8_t* Buffer(std::int32_t i) const { return m_pBuffers[static_cast<std::size_t>(i)]; }
    // Fills every buffer with silence; does nothing when the pool is not ready.
    void ZeroBuffers();

    bool m_ready = false;
    CPrivateHeap* m_hHeap = nullptr;
    std::unique_ptr<platform::WAVEHDR*[]> m_pHeaders;
    std::unique_ptr<std::uint8_t*[]> m_pBuffers;
    std::int32_t m_bufferBytes;
    std::int32_t m_bufferCount;

  private:
    bool Allocate();
    void DestroyHeap();
};
