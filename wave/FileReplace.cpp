#include "wave/FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <utility>

namespace {

// Misaligned runs of fewer bytes are written as they are: their copy is too short to matter.
constexpr std::size_t kStageFromBytes = 4096;
constexpr std::size_t kStagingBytes = std::size_t{1} << 20;

// How far bytes at memory must move up to lie in a cache line as they lie in the file.
std::size_t LineMisfit(const std::uint8_t* memory, std::uint64_t fileOffset) {
    return static_cast<std::size_t>((fileOffset - reinterpret_cast<std::uintptr_t>(memory)) %
                                    kLineBytes);
}

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxLinkDepth = 40;
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

// Whether the kernel's guard against links planted in shared folders refuses to follow a link
// owned by linkOwner in a folder whose status is folder: the folder is sticky and everyone may
// write to it, and the link belongs neither to the user nor to the folder's owner.
bool IsGuardedLink(uid_t linkOwner, const struct stat& folder) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && linkOwner != ::geteuid() && linkOwner != folder.st_uid;
}

struct ResolvedPath {
    std::string path;
    int systemError = 0;
};

// The path that open() would reach from path: links at the end are followed, also one that
// leads nowhere yet (the file is then created where it points).
ResolvedPath FollowLinks(const std::string& path) {
    std::string current = path;
    for (int depth = 0;; ++depth) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0) {
            return {current, errno == ENOENT ? 0 : errno};
        }
        if (!S_ISLNK(status.st_mode)) {
            return {current, 0};
        }
        if (depth == kMaxLinkDepth) {
            return {current, ELOOP};
        }
        const std::string folder = FolderOf(current);
        struct stat folderStatus {};
        if (::stat(folder.c_str(), &folderStatus) != 0) {
            return {current, errno};
        }
        if (IsGuardedLink(status.st_uid, folderStatus)) {
            return {current, EACCES};
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), target, sizeof target);
        if (length < 0) {
            return {current, errno};
        }
        if (length == 0 || static_cast<std::size_t>(length) == sizeof target) {
            return {current, length == 0 ? ENOENT : ENAMETOOLONG};
        }
        const std::string text(target, static_cast<std::size_t>(length));
        current = text.front() == '/' ? text : folder + "/" + text;
    }
}

// A hidden name beside the target that no file has yet, with the counter and the clock as salt.
std::string TemporaryName(const std::string& folder, const std::string& name) {
    static std::atomic<unsigned> s_counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long salt = static_cast<unsigned long>(now.tv_nsec) ^
                               (static_cast<unsigned long>(::getpid()) << 20) ^
                               s_counter.fetch_add(1, std::memory_order_relaxed);
    return folder + "/." + name.substr(0, kMaxNameStemBytes) + "." + std::to_string(salt) + ".tmp";
}

// Whether a descriptor's file can be given a name through /proc, which linkat needs for a file
// opened without one unless the caller may use AT_EMPTY_PATH.
bool CanNameUnnamedFiles() {
    static const bool s_procMounted = ::access("/proc/self/fd", X_OK) == 0;
    return s_procMounted;
}

}  // namespace

std::uint8_t* AlignedLike(std::uint8_t* block, std::uint64_t fileOffset) {
    return block + LineMisfit(block, fileOffset);
}

CFileReplacement::CFileReplacement(const char* path) {
    const ResolvedPath resolved = FollowLinks(path);
    if (resolved.systemError != 0) {
        Fail(ReplaceResult::kCannotOpen, resolved.systemError);
        return;
    }
    m_target = resolved.path;

    struct stat existing {};
    m_replacing = ::stat(m_target.c_str(), &existing) == 0;
    if (!m_replacing && errno != ENOENT) {
        Fail(ReplaceResult::kCannotOpen, errno);
        return;
    }
    if (m_replacing) {
        if (S_ISDIR(existing.st_mode)) {
            Fail(ReplaceResult::kIsFolder, 0);
            return;
        }
        if (!S_ISREG(existing.st_mode)) {
            Fail(ReplaceResult::kNotRegularFile, 0);
            return;
        }
        if (::faccessat(AT_FDCWD, m_target.c_str(), W_OK, AT_EACCESS) != 0) {
            Fail(ReplaceResult::kCannotOpen, errno);
            return;
        }
        m_targetMode = existing.st_mode & 07777;
        m_targetUid = existing.st_uid;
        m_targetGid = existing.st_gid;
    }
    if (!CreateUnnamed() && m_status.result == ReplaceResult::kDone) {
        CreateNamed();
    }
}

CFileReplacement::~CFileReplacement() {
    Discard();
}

void CFileReplacement::Fail(ReplaceResult result, int systemError) {
    if (m_status.result == ReplaceResult::kDone) {
        m_status = {result, systemError};
    }
}

// A new file replacing another is its owner's alone until it has the old one's permissions; a
// file in a new place gets what the umask gives, as the target would.
bool CFileReplacement::CreateUnnamed() {
    if (!CanNameUnnamedFiles()) {
        return false;
    }
    const mode_t mode = m_replacing ? 0600 : 0666;
    m_fd = ::open(FolderOf(m_target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (m_fd >= 0) {
        return true;
    }
    // Without support in the kernel or the file system, the named road is taken.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        Fail(ReplaceResult::kCannotOpen, errno);
    }
    return false;
}

bool CFileReplacement::CreateNamed() {
    const mode_t mode = m_replacing ? 0600 : 0666;
    return TakeTemporaryName(ReplaceResult::kCannotOpen, [this, mode] {
        m_fd = ::open(m_tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        return m_fd >= 0;
    });
}

bool CFileReplacement::TakeTemporaryName(ReplaceResult failure,
                                         const std::function<bool()>& giveName) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_tmpPath = TemporaryName(FolderOf(m_target), NameOf(m_target));
        // Armed before the file has the name, so that no moment is left in which a signal would
        // leave it behind.
        m_removeOnSignal.Arm(m_tmpPath);
        if (giveName()) {
            return true;
        }
        const int error = errno;
        m_removeOnSignal.Disarm();
        m_tmpPath.clear();
        if (error != EEXIST) {
            Fail(failure, error);
            return false;
        }
    }
    Fail(failure, EEXIST);
    return false;
}

bool CFileReplacement::Append(std::initializer_list<ByteRange> pieces) {
    for (const ByteRange& piece : pieces) {
        if (m_status.result != ReplaceResult::kDone) {
            return false;
        }
        if (const int error = WriteAll(piece.bytes, piece.count); error != 0) {
            Fail(ReplaceResult::kCannotWrite, error);
        }
    }
    return m_status.result == ReplaceResult::kDone;
}

int CFileReplacement::WriteAll(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const std::uint8_t* from = bytes;
        std::size_t chunk = std::min(count, kWriteBytes);
        if (chunk >= kStageFromBytes && LineMisfit(bytes, m_writtenBytes) != 0) {
            if (!m_staging) {
                m_staging.reset(new (std::nothrow) std::uint8_t[kStagingBytes + kLineBytes]);
            }
            if (m_staging) {
                chunk = std::min(chunk, kStagingBytes);
                std::uint8_t* staged = AlignedLike(m_staging.get(), m_writtenBytes);
                std::memcpy(staged, bytes, chunk);
                from = staged;
            }
        }
        const ssize_t n = ::write(m_fd, from, chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        const auto written = static_cast<std::size_t>(n);
        m_writtenBytes += written;
        bytes += written;
        count -= written;
    }
    return 0;
}

bool CFileReplacement::LinkUnnamed() {
    const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd);
    return TakeTemporaryName(ReplaceResult::kCannotWrite, [this, &procPath] {
        return ::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, m_tmpPath.c_str(),
                        AT_SYMLINK_FOLLOW) == 0;
    });
}

ReplaceStatus CFileReplacement::Commit() {
    if (m_status.result != ReplaceResult::kDone) {
        Discard();
        return m_status;
    }
    if (m_replacing) {
        // The new file takes the place of the user's old one: give it the old one's owner (where
        // allowed) and permissions, and have its bytes on disk before the rename, so that a power
        // cut cannot leave an empty file where the old one was.
        if (m_targetUid != ::geteuid() || m_targetGid != ::getegid()) {
            static_cast<void>(::fchown(m_fd, m_targetUid, m_targetGid));
        }
        if (::fchmod(m_fd, static_cast<mode_t>(m_targetMode)) != 0 || ::fsync(m_fd) != 0) {
            Fail(ReplaceResult::kCannotWrite, errno);
        }
    }
    if (m_status.result == ReplaceResult::kDone && m_tmpPath.empty()) {
        LinkUnnamed();
    }
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0) {
        Fail(ReplaceResult::kCannotWrite, errno);
    }
    if (m_status.result == ReplaceResult::kDone &&
        ::rename(m_tmpPath.c_str(), m_target.c_str()) != 0) {
        Fail(ReplaceResult::kCannotWrite, errno);
    }
    if (m_status.result != ReplaceResult::kDone) {
        Discard();
        return m_status;
    }
    m_tmpPath.clear();
    m_removeOnSignal.Disarm();
    return m_status;
}

void CFileReplacement::Discard() {
    if (m_fd >= 0) {
        ::close(std::exchange(m_fd, -1));
    }
    if (!m_tmpPath.empty()) {
        ::unlink(m_tmpPath.c_str());
        m_tmpPath.clear();
    }
    m_removeOnSignal.Disarm();
}

ReplaceStatus ReplaceFileContents(const char* path, std::initializer_list<ByteRange> pieces) {
    CFileReplacement replacement(path);
    replacement.Append(pieces);
    return replacement.Commit();
}
