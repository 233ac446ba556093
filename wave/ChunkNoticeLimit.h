// How many notices one read shows about chunks that it does not know: each distinct id once, and
// no more than a handful in all; the rest is summed up in one closing notice. A file of millions
// of unknown chunks thus gives a few notices, not millions of lines or message boxes.
//
// One instance per read; not shared between threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

class CChunkNoticeLimit {
  public:
    static constexpr std::size_t kMaxNotices = 3;

    // Whether a chunk with this id is to be reported now. When not, it counts as unreported.
    bool ShouldReport(std::uint32_t id) {
        const std::uint32_t* const reportedEnd = m_reportedIds + m_reportedCount;
        if (m_reportedCount == kMaxNotices ||
            std::find<const std::uint32_t*>(m_reportedIds, reportedEnd, id) != reportedEnd) {
            ++m_unreportedCount;
            return false;
        }
        m_reportedIds[m_reportedCount++] = id;
        return true;
    }

    // The chunks that were not reported one by one: repeated ids, and all after the last notice.
    std::uint64_t UnreportedCount() const { return m_unreportedCount; }

  private:
    std::uint32_t m_reportedIds[kMaxNotices] = {};
    std::size_t m_reportedCount = 0;
    std::uint64_t m_unreportedCount = 0;
};
