// Replacing a file's contents so that a failure, or a signal that ends the program, never loses
// what was there and never leaves a half-written file behind.
//
// The new bytes go to a file without a name in the target's folder (O_TMPFILE), which the system
// removes by itself whatever ends the program; it gets the old file's owner and permissions, then
// a name, and is renamed over the target only once every byte was written. Where the file system
// cannot make files without a name, the new file has a hidden name from the start and the
// signals that end a program remove it (see RemoveOnSignal.h). While it is written it can be read
// by its owner only, and never by more people than the target.
//
// The target is found as open() would find it: a symbolic link at the path, dangling or not, is
// followed and stays a link; a loop of links fails. In a sticky folder that everyone may write
// to (/tmp), a link that belongs neither to the user nor to the folder's owner is not followed,
// as the kernel's own guard refuses for open().
//
// The bytes go to the system in writes of at most kWriteBytes: writes of several MB were
// measured to stall now and then where writes of 512 KiB do not. Bytes that lie elsewhere in a
// cache line than in the file (see AlignedLike) are copied through a buffer of the replacement's
// own where they lie alike, since the system's copy into the file's cache runs several times
// slower otherwise on some processors.
//
// Threads: any, one replacement per target at a time. Used by the writer (WaveWriter.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "wave/RemoveOnSignal.h"

// The system's copy between a file's cache and a program's memory runs several times slower on
// some processors (measured on AMD Zen 3) when the memory does not lie at the same place in a
// 64-byte cache line as the bytes' place in the file. A block with kLineBytes to spare at its
// start holds a place for bytes of fileOffset at AlignedLike(block, fileOffset).
constexpr std::size_t kLineBytes = 64;
std::uint8_t* AlignedLike(std::uint8_t* block, std::uint64_t fileOffset);

enum class ReplaceResult {
    kDone,
    // The target's folder cannot be written, does not exist or is reached through a refused
    // link, or the target may not be written. Nothing was created.
    kCannotOpen,
    // The target is a folder. Nothing was created.
    kIsFolder,
    // The target is a device, a FIFO or a socket. Nothing was created.
    kNotRegularFile,
    // Writing, closing or renaming failed (a full disk, say). The new file was removed and an
    // existing target is unchanged.
    kCannotWrite,
};

struct ReplaceStatus {
    ReplaceResult result = ReplaceResult::kDone;
    // The errno value behind the result when the system gave one; 0 otherwise.
    int systemError = 0;
};

// Bytes to write; bytes may be null when count is 0. Borrowed for the time of the call.
struct ByteRange {
    const std::uint8_t* bytes;
    std::size_t count;
};

// One replacement: opened by the constructor, filled by Append, put in place by Commit. Destroyed
// without a successful Commit, it leaves the target as it was and no new file behind.
class CFileReplacement {
  public:
    explicit CFileReplacement(const char* path);
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;
    ~CFileReplacement();

    // kDone while everything went well so far; otherwise the first failure.
    const ReplaceStatus& Status() const { return m_status; }
    // Writes the pieces one after the other; false (with Status telling why) on failure.
    bool Append(std::initializer_list<ByteRange> pieces);
    // Gives the new file the target's permissions and puts it in place.
    ReplaceStatus Commit();

    static constexpr std::size_t kWriteBytes = std::size_t{512} << 10;

  private:
    void Fail(ReplaceResult result, int systemError);
    // Writes the bytes, resuming after short writes. Gives 0 or the errno value.
    int WriteAll(const std::uint8_t* bytes, std::size_t count);
    bool CreateUnnamed();
    bool CreateNamed();
    // Gives the unnamed file a hidden name beside the target (m_tmpPath).
    bool LinkUnnamed();
    // Tries hidden names beside the target in m_tmpPath until giveName succeeds, or fails for
    // another reason than a name already taken (failure, with its errno). The name is armed for
    // removal by the signals from before giveName runs.
    bool TakeTemporaryName(ReplaceResult failure, const std::function<bool()>& giveName);
    void Discard();

    ReplaceStatus m_status;
    // The file to replace, with its links followed.
    std::string m_target;
    bool m_replacing = false;
    unsigned m_targetMode = 0;
    unsigned m_targetUid = 0;
    unsigned m_targetGid = 0;
    int m_fd = -1;
    std::uint64_t m_writtenBytes = 0;
    // The buffer for bytes that do not lie as in the file, made at the first such bytes.
    std::unique_ptr<std::uint8_t[]> m_staging;
    // The new file's name while it has one; empty otherwise.
    std::string m_tmpPath;
    CRemoveOnSignal m_removeOnSignal;
};

// Makes path hold exactly the bytes of the pieces, one after the other, written without joining
// them in memory first.
ReplaceStatus ReplaceFileContents(const char* path, std::initializer_list<ByteRange> pieces);
