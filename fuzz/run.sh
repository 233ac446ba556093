#!/usr/bin/env bash
# Fuzzes the wave reader and transforms with libFuzzer for a given time.
#
#   fuzz/run.sh SECONDS [BUILD_DIR]      (BUILD_DIR: build-fuzz in the repository by default)
#
# Configures BUILD_DIR for the fuzz build (clang, instrumented for the fuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) when it is not yet, builds wave_fuzz, and runs it on
# BUILD_DIR/fuzz-corpus, which starts as a copy of fuzz/corpus and keeps what the fuzzer adds
# from one run to the next; fuzz/corpus itself is never written. The whole log goes to
# BUILD_DIR/fuzz-logs/wave_fuzz.log and crash inputs to BUILD_DIR/fuzz-artifacts/.
#
# Exit status: 0 when the time ran out with nothing found; the fuzzer's own (non-zero) status
# when it found a crash, a leak, a timeout or an out-of-memory input, after printing the end of
# the log with the report and the stack.
set -euo pipefail

usage() {
    echo "usage: $0 SECONDS [BUILD_DIR]" >&2
    exit 2
}

(($# >= 1 && $# <= 2)) || usage
[[ $1 =~ ^[1-9][0-9]*$ ]] || usage
seconds=$1
build=${2:-build-fuzz}
# A relative BUILD_DIR is taken from the caller's folder; the default lies in the repository.
if [[ $# -ge 2 && $build != /* ]]; then
    build=$PWD/$build
fi

cd "$(dirname "$0")/.."
repo=$PWD

if [[ ! -f $build/build.ninja ]] || ! grep -q '^SONORETTE_FUZZ:BOOL=ON$' "$build/CMakeCache.txt"; then
    echo "== Configuring the fuzz build in $build"
    CXX=clang++ cmake -S "$repo" -B "$build" -G Ninja -DSONORETTE_FUZZ=ON -DSONORETTE_TESTS=OFF \
        -DSONORETTE_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
fi
cmake --build "$build" --target wave_fuzz

corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
logs=$build/fuzz-logs
mkdir -p "$corpus" "$artifacts" "$logs"
cp "$repo"/fuzz/corpus/* "$corpus"/
log=$logs/wave_fuzz.log

echo "== Fuzzing wave_fuzz for $seconds s on $corpus (log: $log)"
status=0
"$build/fuzz/wave_fuzz" "$corpus" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=10 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?

if ((status != 0)); then
    echo "== wave_fuzz found a problem (exit status $status); end of $log:" >&2
    tail -n 80 "$log" >&2
    exit "$status"
fi
# libFuzzer's closing lines: the final stats line and the run count.
grep -E '^#[0-9]+[[:space:]]+DONE ' "$log" | tail -n 1
grep -E '^Done [0-9]+ runs in ' "$log" | tail -n 1
