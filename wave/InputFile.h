// Opening a file to read it whole: never waits (a FIFO or a device without data would hold the
// program for ever) and tells a missing file from a folder, a device or one that may not be read.
//
// Threads: any.
#pragma once

#include <cstdint>

enum class InputProblem {
    kNone,
    // Nothing at the path (nor at the end of its links).
    kNotFound,
    kFolder,
    // A device, a FIFO or a socket.
    kNotRegularFile,
    // The system refused to open it (no permission, too many links, ...): see the reason.
    kCannotOpen,
};

struct OpenedInput {
    // The open file, read-only, or -1; the caller closes it.
    int fd = -1;
    // Its length in bytes.
    std::uint64_t bytes = 0;
    InputProblem problem = InputProblem::kNone;
    // The errno value behind kCannotOpen; 0 otherwise.
    int systemError = 0;
};

// Opens path when it names a regular file; otherwise says why not and opens nothing.
OpenedInput OpenInputFile(const char* path);
