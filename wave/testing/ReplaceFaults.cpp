#include "wave/testing/ReplaceFaults.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_rename(const char* from, const char* to);
int __wrap_open(const char* path, int flags, ...);
int __wrap_rename(const char* from, const char* to);
}

namespace {

bool g_refuseUnnamed = false;
faults::NewFileWatcher g_watcher = nullptr;

bool CreatesFile(int flags) {
    return (flags & O_TMPFILE) == O_TMPFILE || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
}

}  // namespace

namespace faults {

void RefuseUnnamedFiles(bool refuse) {
    g_refuseUnnamed = refuse;
}

void WatchNewFiles(NewFileWatcher watcher) {
    g_watcher = watcher;
}

}  // namespace faults

extern "C" int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    if (g_refuseUnnamed && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = __real_open(path, flags, mode);
    struct stat status {};
    if (fd >= 0 && g_watcher != nullptr && CreatesFile(flags) && ::fstat(fd, &status) == 0) {
        g_watcher(faults::NewFileStep::kCreated, status);
    }
    return fd;
}

extern "C" int __wrap_rename(const char* from, const char* to) {
    struct stat status {};
    if (g_watcher != nullptr && ::stat(from, &status) == 0) {
        g_watcher(faults::NewFileStep::kBeforeRename, status);
    }
    return __real_rename(from, to);
}
