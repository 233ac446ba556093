#include "wave/FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Misaligned appends of fewer bytes are written as they are: their copy is too short to matter.
constexpr std::size_t kStageFromBytes = 4096;
constexpr std::size_t kStagingBytes = std::size_t{1} << 20;

// How far bytes at memory must move up to lie in a cache line as they lie in the file.
std::size_t LineMisfit(const std::uint8_t* memory, std::uint64_t fileOffset) {
    return static_cast<std::size_t>((fileOffset - reinterpret_cast<std::uintptr_t>(memory)) %
                                    kLineBytes);
}

// Long enough to keep temporary names distinct, short enough that the name stays within
// NAME_MAX for a target whose own name is at the limit.
constexpr std::size_t kMaxNameStemBytes = 200;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates a new file in folder, readable and writable as the umask allows, and returns its
// descriptor (or -1) and its path.
int CreateTemporaryFile(const std::string& folder, const std::string& name, std::string* tmpPath) {
    static std::atomic<unsigned> s_counter{0};
    std::string stem(1, '.');
    stem.append(name, 0, kMaxNameStemBytes);
    stem.push_back('.');
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const unsigned long salt = static_cast<unsigned long>(now.tv_nsec) ^
                                   (static_cast<unsigned long>(::getpid()) << 20) ^
                                   s_counter.fetch_add(1, std::memory_order_relaxed);
        *tmpPath = folder + "/" + stem + std::to_string(salt) + ".tmp";
        const int fd = ::open(tmpPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

std::uint8_t* AlignedLike(std::uint8_t* block, std::uint64_t fileOffset) {
    return block + LineMisfit(block, fileOffset);
}

CFileReplacement::~CFileReplacement() {
    Abandon();
}

bool CFileReplacement::Open(const char* path) {
    Abandon();
    m_failed = false;
    m_writtenBytes = 0;
    m_target = path;
    struct stat linkStatus {};
    if (::lstat(path, &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path, resolved) != nullptr) {
            m_target = resolved;
        }
    }

    struct stat existing {};
    m_replacing = ::stat(m_target.c_str(), &existing) == 0;
    if (m_replacing && (!S_ISREG(existing.st_mode) || ::access(m_target.c_str(), W_OK) != 0)) {
        return false;
    }
    m_mode = existing.st_mode;
    m_owner = existing.st_uid;
    m_group = existing.st_gid;

    m_fd = CreateTemporaryFile(FolderOf(m_target), NameOf(m_target), &m_tmpPath);
    return m_fd >= 0;
}

bool CFileReplacement::Append(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* next = bytes.data();
    std::size_t left = bytes.size();
    while (m_fd >= 0 && !m_failed && left > 0) {
        std::size_t written = 0;
        if (left >= kStageFromBytes && LineMisfit(next, m_writtenBytes) != 0) {
            if (!m_staging) {
                m_staging =
                    std::make_unique_for_overwrite<std::uint8_t[]>(kStagingBytes + kLineBytes);
            }
            std::uint8_t* staged = AlignedLike(m_staging.get(), m_writtenBytes);
            const std::size_t count = std::min(left, kStagingBytes);
            std::memcpy(staged, next, count);
            written = WriteOnce(staged, count);
        } else {
            written = WriteOnce(next, std::min(left, kWriteBytes));
        }
        next += written;
        left -= written;
    }
    return m_fd >= 0 && !m_failed;
}

std::size_t CFileReplacement::WriteOnce(const std::uint8_t* bytes, std::size_t count) {
    for (;;) {
        const ssize_t n = ::write(m_fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_failed = true;
            return 0;
        }
        m_writtenBytes += static_cast<std::size_t>(n);
        return static_cast<std::size_t>(n);
    }
}

bool CFileReplacement::Commit() {
    if (m_fd < 0) {
        return false;
    }
    bool ok = !m_failed;
    if (ok && m_replacing) {
        // The new file takes the place of the user's old one: give it the old one's permissions
        // (and owner, where allowed), and have its bytes on disk before the rename, so that a
        // power cut cannot leave an empty file where the old one was.
        if (m_owner != ::geteuid() || m_group != ::getegid()) {
            static_cast<void>(::fchown(m_fd, m_owner, m_group));
        }
        ok = ::fchmod(m_fd, m_mode & 07777) == 0 && ::fsync(m_fd) == 0;
    }
    ok = (::close(m_fd) == 0) && ok;
    m_fd = -1;
    ok = ok && ::rename(m_tmpPath.c_str(), m_target.c_str()) == 0;
    if (!ok) {
        ::unlink(m_tmpPath.c_str());
    }
    m_tmpPath.clear();
    return ok;
}

void CFileReplacement::Abandon() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(m_tmpPath.c_str());
    }
    m_tmpPath.clear();
}
