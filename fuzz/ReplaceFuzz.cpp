// replace_fuzz: libFuzzer target for the save side. Each input builds a small tree of files,
// folders, FIFOs and symbolic links (dangling ones, chains, loops, links in a sticky folder that
// everyone may write to) in a private folder, then replaces one path in it with bytes of the
// input, and checks the result against what the kernel's own open() says about that path:
//
// - a failure changes nothing at all; a success changes exactly one regular file (the one that
//   open() reaches through the path), which then holds the new bytes and, when it existed, its
//   old permissions; links stay as they were;
// - when open() reaches a regular file, the replacement succeeds; when it reaches a folder, a
//   FIFO, or refuses (a loop of links, or a link that the kernel's guard for shared sticky
//   folders will not follow), the replacement fails;
// - no temporary file is ever left behind.
//
// A broken check prints its text and aborts, so that libFuzzer keeps the input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/MessageBox.h"
#include "wave/FileReplace.h"
#include "wave/testing/ReplaceFaults.h"

namespace {

namespace fs = std::filesystem;

// "s" is sticky and everyone may write to it, as /tmp.
constexpr const char* kNames[] = {"a", "b", "d/a", "d/b", "s/a", "s/b", "d", "s/d"};
constexpr const char* kLinkTargets[] = {
    "a", "b", "../a", "../b", "d/a", "../d/a", "s/a",       "../s/b", "nowhere",
    "d", ".", "..",   "a/",   "d/b", "/",      "missing/x", "../s/a", "../nowhere",
};
constexpr uid_t kNobody = 65534;

struct Entry {
    fs::file_type type;
    unsigned mode;
    uid_t owner;
    std::string contents;  // a regular file's bytes, a link's target
    bool operator==(const Entry&) const = default;
};
using Tree = std::map<std::string, Entry>;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Sandbox {
  public:
    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "replace_fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        m_root = pattern;
        // Foreign links are planted only where the kernel's guard for them is on, so that its
        // open() can tell what must be refused.
        m_guardOn = ReadAll("/proc/sys/fs/protected_symlinks").starts_with("1");
    }
    ~Sandbox() {
        std::error_code error;
        fs::remove_all(m_root, error);
    }

    const fs::path& Root() const { return m_root; }
    bool GuardOn() const { return m_guardOn; }

    void Reset() {
        for (const auto& entry : fs::directory_iterator(m_root)) {
            fs::remove_all(entry.path());
        }
        fs::create_directory(m_root / "d");
        fs::create_directory(m_root / "s");
        FUZZ_CHECK(::chmod((m_root / "s").c_str(), 01777) == 0);
    }

    Tree Snapshot() const {
        Tree tree;
        for (const auto& entry : fs::recursive_directory_iterator(m_root)) {
            struct stat status {};
            FUZZ_CHECK(::lstat(entry.path().c_str(), &status) == 0);
            Entry& shown = tree[entry.path().lexically_relative(m_root).string()];
            shown.type = entry.symlink_status().type();
            shown.mode = status.st_mode & 07777;
            shown.owner = status.st_uid;
            if (shown.type == fs::file_type::symlink) {
                shown.contents = fs::read_symlink(entry.path()).string();
            } else if (shown.type == fs::file_type::regular) {
                shown.contents = ReadAll(entry.path());
            }
        }
        return tree;
    }

  private:
    fs::path m_root;
    bool m_guardOn = false;
};

Sandbox& TheSandbox() {
    static Sandbox sandbox;
    return sandbox;
}

// One setup step from three input bytes; steps that the tree does not allow do nothing.
void Build(const Sandbox& sandbox, std::uint8_t op, std::uint8_t nameByte, std::uint8_t arg) {
    const fs::path path = sandbox.Root() / kNames[nameByte % std::size(kNames)];
    switch (op % 5) {
        case 0: {
            // Without waiting for a reader where the name is a FIFO.
            static const mode_t kModes[] = {0644, 0600, 0400, 0640};
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
            if (fd >= 0) {
                const std::string contents(arg % 5, 'o');
                FUZZ_CHECK(::write(fd, contents.data(), contents.size()) ==
                           static_cast<ssize_t>(contents.size()));
                ::close(fd);
                static_cast<void>(::chmod(path.c_str(), kModes[arg >> 6]));
            }
            break;
        }
        case 1:
            static_cast<void>(::symlink(kLinkTargets[arg % std::size(kLinkTargets)], path.c_str()));
            break;
        case 2:
            static_cast<void>(::mkdir(path.c_str(), 0755));
            break;
        case 3:
            static_cast<void>(::mkfifo(path.c_str(), 0600));
            break;
        default:
            if (sandbox.GuardOn()) {
                static_cast<void>(::lchown(path.c_str(), kNobody, kNobody));
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    platform::SetMessageHandler([](std::string_view, const platform::MessageSubject&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    Sandbox& sandbox = TheSandbox();
    sandbox.Reset();
    // The first byte: how many setup steps, the road taken and the path replaced.
    const std::size_t steps = std::min<std::size_t>((data[0] & 15), (size - 3) / 3);
    std::size_t at = 1;
    for (std::size_t i = 0; i < steps; ++i, at += 3) {
        Build(sandbox, data[at], data[at + 1], data[at + 2]);
    }
    faults::RefuseUnnamedFiles((data[0] & 16) != 0);
    const std::string path = (sandbox.Root() / kNames[data[at] % std::size(kNames)]).string();
    const std::string bytes(reinterpret_cast<const char*>(data + at + 1), size - at - 1);
    const std::size_t split = bytes.size() / 2;

    const Tree before = sandbox.Snapshot();
    // What the kernel reaches through the path, without opening a FIFO or a device.
    const int reached = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    const int reachError = errno;
    struct stat reachedStatus {};
    FUZZ_CHECK(reached < 0 || ::fstat(reached, &reachedStatus) == 0);

    const ReplaceStatus status = ReplaceFileContents(
        path.c_str(),
        {{reinterpret_cast<const std::uint8_t*>(bytes.data()), split},
         {reinterpret_cast<const std::uint8_t*>(bytes.data()) + split, bytes.size() - split}});
    const Tree after = sandbox.Snapshot();

    if (reached >= 0) {
        if (S_ISREG(reachedStatus.st_mode)) {
            FUZZ_CHECK(status.result == ReplaceResult::kDone);
        } else if (S_ISDIR(reachedStatus.st_mode)) {
            FUZZ_CHECK(status.result == ReplaceResult::kIsFolder);
        } else {
            FUZZ_CHECK(status.result == ReplaceResult::kNotRegularFile);
        }
    } else if (reachError == ELOOP || reachError == EACCES) {
        FUZZ_CHECK(status.result == ReplaceResult::kCannotOpen);
        FUZZ_CHECK(status.systemError == reachError);
    }

    if (status.result != ReplaceResult::kDone) {
        FUZZ_CHECK(after == before);
    } else {
        // The path now reaches a regular file with the new bytes; it is the only entry that
        // changed or came to be, and an existing one kept its permissions.
        FUZZ_CHECK(ReadAll(path) == bytes);
        int changed = 0;
        for (const auto& [name, entry] : after) {
            const auto old = before.find(name);
            if (old != before.end() && old->second == entry) {
                continue;
            }
            ++changed;
            FUZZ_CHECK(entry.type == fs::file_type::regular && entry.contents == bytes);
            FUZZ_CHECK(old == before.end() || (old->second.type == fs::file_type::regular &&
                                               old->second.mode == entry.mode));
        }
        FUZZ_CHECK(changed <= 1);
        FUZZ_CHECK(after.size() == before.size() || after.size() == before.size() + 1);
        for (const auto& [name, entry] : before) {
            FUZZ_CHECK(after.count(name) == 1);
        }
    }
    if (reached >= 0) {
        ::close(reached);
    }
    return 0;
}
