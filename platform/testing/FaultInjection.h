// Failures that tests make happen in the product's code without any hook in it: the test
// executables are linked with `--wrap` for the calls below (see this folder's CMakeLists.txt), so
// the product's calls reach the wrappers here, which fail when armed and otherwise pass the call
// on unchanged.
//
// Threads: arming and the wrapped calls may happen on any thread.
#pragma once

namespace faults {

// The call that comes `callsFromNow` calls from now (0 = the next one) fails once; a negative
// count disarms it.
void FailWaveOutPrepare(int callsFromNow);
void FailWaveOutWrite(int callsFromNow);
// The next non-throwing `new` of one object (not an array) in the product's code gives null: a
// buffer pool's, or inside a pool, its private heap's.
void FailNextNothrowNew();
// The product's calloc (the private heap's blocks) that comes `count` calls from now gives null.
void FailCalloc(int count);
// The throwing `new` of one object that comes `count` calls from now on the calling thread, in
// the product's code or the templates it instantiates (std::thread's start, std::make_unique),
// throws std::bad_alloc.
void FailNew(int count);
// Whether an armed failure is still waiting for its call.
bool NewFailureArmed();

}  // namespace faults
