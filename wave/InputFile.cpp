#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

InputProblem ProblemOfType(mode_t mode) {
    if (S_ISREG(mode)) {
        return InputProblem::kNone;
    }
    return S_ISDIR(mode) ? InputProblem::kFolder : InputProblem::kNotRegularFile;
}

OpenedInput Refused(InputProblem problem, int systemError = 0) {
    OpenedInput input;
    input.problem = problem;
    input.systemError = problem == InputProblem::kCannotOpen ? systemError : 0;
    return input;
}

InputProblem ProblemOfOpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return InputProblem::kNotFound;
        case EISDIR:
            return InputProblem::kFolder;
        case ENXIO:  // a socket, or a device whose hardware is not there
        case ENODEV:
            return InputProblem::kNotRegularFile;
        default:
            return InputProblem::kCannotOpen;
    }
}

}  // namespace

OpenedInput OpenInputFile(const char* path) {
    // A look before opening keeps devices from being opened at all; the check after opening is
    // the one that counts, since the path may name something else by then.
    struct stat status {};
    if (::stat(path, &status) == 0 && ProblemOfType(status.st_mode) != InputProblem::kNone) {
        return Refused(ProblemOfType(status.st_mode));
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        return Refused(ProblemOfOpenError(error), error);
    }
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return Refused(InputProblem::kCannotOpen, error);
    }
    if (const InputProblem problem = ProblemOfType(status.st_mode);
        problem != InputProblem::kNone) {
        ::close(fd);
        return Refused(problem);
    }
    // Reading a regular file waits for the disk as it should.
    static_cast<void>(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK));
    OpenedInput input;
    input.fd = fd;
    input.bytes = static_cast<std::uint64_t>(status.st_size);
    return input;
}
