// What tests need of the safe file replacement without any hook in it: the test executables are
// linked with `--wrap` for open and rename (see this folder's CMakeLists.txt), so the product's
// calls reach the wrappers here, which pass them on unchanged unless a test asked otherwise.
//
// Threads: set these up before the replacement runs, on the thread that runs it.
#pragma once

#include <sys/stat.h>

namespace faults {

// Makes opening a file without a name (O_TMPFILE) fail as on a file system that cannot, so that
// the replacement takes its road of named temporary files.
void RefuseUnnamedFiles(bool refuse);

// The moments of a new file that a watcher hears of: just after it was created (named or not),
// and just before it is renamed over the target, when it has its name and final permissions.
enum class NewFileStep { kCreated, kBeforeRename };
using NewFileWatcher = void (*)(NewFileStep step, const struct stat& status);
// Null stops the watching.
void WatchNewFiles(NewFileWatcher watcher);

}  // namespace faults
