// Replacing a file's contents so that a failure never loses what was there.
//
// The bytes are written to a new file beside the target and renamed over it only once they were
// all written and the file closed without error. Threads: any, one call per target at a time.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ReplaceResult {
    kDone,
    // The target's folder cannot be written, or the target is not a writable regular file.
    // Nothing was created.
    kCannotOpen,
    // Writing, closing or renaming failed (a full disk, say). The temporary file was removed and
    // an existing target is unchanged.
    kCannotWrite,
};

// Makes path hold exactly the bytes of head followed by those of body (body may be null when
// bodyCount is 0), written without joining them in memory first. A symbolic link at path is
// followed, so the file it names is replaced and the link stays. An existing target keeps its
// permissions.
ReplaceResult ReplaceFileContents(const char* path, const std::uint8_t* head, std::size_t headCount,
                                  const std::uint8_t* body, std::size_t bodyCount);
