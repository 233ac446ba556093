// The fuzz targets' check: a broken one prints where and what, then aborts, so that libFuzzer
// keeps the input and prints the stack.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzCheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "check failed at %s:%d: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition)                                \
    do {                                                     \
        if (!(condition)) {                                  \
            FuzzCheckFailed(#condition, __FILE__, __LINE__); \
        }                                                    \
    } while (false)
