// A file that fails part-way through being read, for the tests of what a reader does then: the
// test executables are linked with `--wrap` for pread (see this folder's CMakeLists.txt), so the
// product's reads reach the wrapper here, which passes them on unchanged unless a test asked
// otherwise.
//
// Threads: set up before the reading starts; any number of threads may read meanwhile.
#pragma once

#include <cstdint>
#include <optional>

namespace faults {

// Makes every pread that would read the byte at fileOffset or a later one fail with EIO, as a
// failing disk does; nothing makes reads succeed again.
void FailReadsFrom(std::optional<std::uint64_t> fileOffset);

}  // namespace faults
