#include "wave/testing/ReadFaults.h"

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <limits>

extern "C" {
ssize_t __real_pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t __wrap_pread(int fd, void* buffer, size_t count, off_t offset);
}

namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
std::atomic<std::uint64_t> g_failFrom{kNever};

}  // namespace

namespace faults {

void FailReadsFrom(std::optional<std::uint64_t> fileOffset) {
    g_failFrom = fileOffset.value_or(kNever);
}

}  // namespace faults

extern "C" ssize_t __wrap_pread(int fd, void* buffer, size_t count, off_t offset) {
    if (count > 0 && static_cast<std::uint64_t>(offset) + count > g_failFrom.load()) {
        errno = EIO;
        return -1;
    }
    return __real_pread(fd, buffer, count, offset);
}
