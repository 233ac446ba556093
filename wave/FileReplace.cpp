#include "FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

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

// Writes head and then body, resuming after short writes.
bool WriteAll(int fd, const std::uint8_t* head, std::size_t headCount, const std::uint8_t* body,
              std::size_t bodyCount) {
    while (headCount + bodyCount > 0) {
        iovec pieces[2] = {{const_cast<std::uint8_t*>(head), headCount},
                           {const_cast<std::uint8_t*>(body), bodyCount}};
        const int first = headCount > 0 ? 0 : 1;
        const ssize_t n = ::writev(fd, pieces + first, 2 - first);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        const std::size_t fromHead = std::min(done, headCount);
        head += fromHead;
        headCount -= fromHead;
        done -= fromHead;
        body += done;
        bodyCount -= done;
    }
    return true;
}

}  // namespace

ReplaceResult ReplaceFileContents(const char* path, const std::uint8_t* head, std::size_t headCount,
                                  const std::uint8_t* body, std::size_t bodyCount) {
    std::string target = path;
    struct stat linkStatus {};
    if (::lstat(path, &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path, resolved) != nullptr) {
            target = resolved;
        }
    }

    struct stat existing {};
    const bool replacing = ::stat(target.c_str(), &existing) == 0;
    if (replacing && (!S_ISREG(existing.st_mode) || ::access(target.c_str(), W_OK) != 0)) {
        return ReplaceResult::kCannotOpen;
    }

    std::string tmpPath;
    const int fd = CreateTemporaryFile(FolderOf(target), NameOf(target), &tmpPath);
    if (fd < 0) {
        return ReplaceResult::kCannotOpen;
    }

    bool ok = WriteAll(fd, head, headCount, body, bodyCount);
    if (ok && replacing) {
        // The new file takes the place of the user's old one: give it the old one's permissions
        // (and owner, where allowed), and have its bytes on disk before the rename, so that a
        // power cut cannot leave an empty file where the old one was.
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
            static_cast<void>(::fchown(fd, existing.st_uid, existing.st_gid));
        }
        ok = ::fchmod(fd, existing.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    }
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmpPath.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpPath.c_str());
        return ReplaceResult::kCannotWrite;
    }
    return ReplaceResult::kDone;
}
