// CFileReplacement: replacing a file's contents so that a failure never loses what was there.
//
// The new contents go to a temporary file beside the target, appended piece by piece, and are
// renamed over the target only once they were all written and the file closed without error. A
// symbolic link at the target's path is followed, so the file it names is replaced and the link
// stays; an existing target's permissions (and owner, where allowed) are kept.
//
// Ownership: the object owns its temporary file, descriptor and name, until Commit() or its
// destruction; a replacement that was not committed removes its temporary file when destroyed,
// leaving the target as it was. The bytes passed to Append() are borrowed for the call only.
//
// Threads: one thread at a time per object; objects for different targets may work at once.
// Used by the writer (WaveWriter.h) only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// The system's copy between a file's cache and a program's memory runs several times slower on
// some processors (measured on AMD Zen 3) when the memory does not lie at the same place in a
// 64-byte cache line as the bytes' place in the file. A block with kLineBytes to spare at its
// start holds a place for bytes of fileOffset at AlignedLike(block, fileOffset).
constexpr std::size_t kLineBytes = 64;
std::uint8_t* AlignedLike(std::uint8_t* block, std::uint64_t fileOffset);

class CFileReplacement {
  public:
    CFileReplacement() = default;
    ~CFileReplacement();
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;

    // Creates the temporary file for the target at path. False when the target's folder cannot
    // be written, or the target exists and is not a writable regular file; nothing was created.
    bool Open(const char* path);
    // Appends bytes to the temporary file, handing them to the system in writes of at most
    // kWriteBytes. Bytes that do not lie at the same place in a cache line as their place in the
    // file (see AlignedLike) go through a buffer of the replacement's own, where they do. False
    // when a write fails (a full disk, say); the replacement can then only be abandoned.
    bool Append(std::span<const std::uint8_t> bytes);
    // Puts the temporary file in the target's place. False when writing, closing or renaming
    // failed; the temporary file has been removed then and an existing target is unchanged.
    bool Commit();

    static constexpr std::size_t kWriteBytes = std::size_t{512} << 10;

  private:
    void Abandon();
    // Writes bytes (at most kWriteBytes) once; the number written, 0 after a failure.
    std::size_t WriteOnce(const std::uint8_t* bytes, std::size_t count);

    int m_fd = -1;
    bool m_failed = false;
    std::uint64_t m_writtenBytes = 0;
    std::unique_ptr<std::uint8_t[]> m_staging;
    std::string m_target;
    std::string m_tmpPath;
    // The existing target's mode and owner, which the new file takes over.
    bool m_replacing = false;
    mode_t m_mode = 0;
    uid_t m_owner = 0;
    gid_t m_group = 0;
};
