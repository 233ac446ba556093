#!/usr/bin/env bash
# Fuzzes the wave reader and transforms, or the save side, with libFuzzer for a given time.
#
#   fuzz/run.sh SECONDS [BUILD_DIR [TARGET]]
#
# BUILD_DIR is build-fuzz in the repository by default; TARGET is wave_fuzz (the reader and the
# transforms, seeded from fuzz/corpus) by default, or replace_fuzz (saving over files, links and
# folders, seeded from fuzz/replace_corpus).
#
# Configures BUILD_DIR for the fuzz build (clang, instrumented for the fuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) when it is not yet, builds TARGET, and runs it on
# BUILD_DIR/fuzz-corpus/TARGET, which starts as a copy of the seeds and keeps what the fuzzer adds
# from one run to the next; the seed folders are never written. The whole log goes to
# BUILD_DIR/fuzz-logs/TARGET.log and crash inputs to BUILD_DIR/fuzz-artifacts/.
#
# Exit status: 0 when the time ran out with nothing found; the fuzzer's own (non-zero) status
# when it found a crash, a leak, a timeout or an out-of-memory input, after printing the end of
# the log with the report and the stack.
set -euo pipefail

usage() {
    echo "usage: $0 SECONDS [BUILD_DIR [wave_fuzz|replace_fuzz]]" >&2
    exit 2
}

(($# >= 1 && $# <= 3)) || usage
[[ $1 =~ ^[1-9][0-9]*$ ]] || usage
seconds=$1
build=${2:-build-fuzz}
target=${3:-wave_fuzz}
case "$target" in
wave_fuzz) seeds=fuzz/corpus max_len=65536 ;;
replace_fuzz) seeds=fuzz/replace_corpus max_len=256 ;;
*) usage ;;
esac
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
cmake --build "$build" --target "$target"

corpus=$build/fuzz-corpus/$target
artifacts=$build/fuzz-artifacts
logs=$build/fuzz-logs
mkdir -p "$corpus" "$artifacts" "$logs"
cp "$repo/$seeds"/* "$corpus"/
log=$logs/$target.log

echo "== Fuzzing $target for $seconds s on $corpus (log: $log)"
status=0
"$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=4096 \
    -timeout=10 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?

if ((status != 0)); then
    echo "== $target found a problem (exit status $status); end of $log:" >&2
    tail -n 80 "$log" >&2
    exit "$status"
fi
# libFuzzer's closing lines: the final stats line and the run count.
grep -E '^#[0-9]+[[:space:]]+DONE ' "$log" | tail -n 1
grep -E '^Done [0-9]+ runs in ' "$log" | tail -n 1
