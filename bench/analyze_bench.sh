#!/usr/bin/env bash
# Times `sonorette-gain --analyze` (sample peak, true peak, integrated loudness and loudness range)
# on a generated 30-minute 44.1 kHz 16-bit stereo file against `cat` of the same file (reading it
# alone) and `sox IN -n stats` (a one-pass sample analysis: peaks, RMS, DC offset).
#
#   bench/analyze_bench.sh [BUILD_DIR [RUNS]]   BUILD_DIR: build-bench (an optimised build) by
#                                               default; RUNS: 7 by default
#
# The three commands take turns, RUNS rounds of one run each, so that whatever else the machine
# does falls on all of them alike. The file stays in the page cache, under a temporary folder in
# /tmp. Reported: the median wall-clock time of each command with its spread (fastest and slowest
# run), and how many times faster than real time --analyze is at its median and at its slowest.
# Target: at least 300 x real time at the median. Set GAIN=/path/to/sonorette-gain to time
# another build. Installs sox with apt-get when it is missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${2:-7}
gain=${GAIN:-$build/cli/sonorette-gain}
wavegen=$build/cli/sonorette-wavegen
seconds=1800
min_real_time=300

source "$root/bench/bench_support.sh"
require_programs "$(basename "$0")" "$build" "$gain" "$wavegen"
command -v sox >/dev/null || install_package sox

work=$(mktemp -d /tmp/sonorette-analyze-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
in=$work/in.wav
"$wavegen" "$in" --rate 44100 --channels 2 --bits 16 --seconds "$seconds" --peak 0.5
sync "$in"
cat "$in" >/dev/null

analyze_command=("$gain" --analyze "$in")
cat_command=(cat "$in")
sox_command=(sox -V1 "$in" -n stats)

# Wall-clock seconds of one run of the command, its output thrown away.
run_once() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1
    local end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

echo "Input: $seconds s of 44.1 kHz 16-bit stereo ($(stat -c %s "$in") bytes);" \
    "$runs rounds of --analyze, cat and sox stats in turn"
report_cpu_use
echo "--analyze prints: $("${analyze_command[@]}" | cut -f1-6 | tr '\t' ' ')"

: >"$work/analyze.times"
: >"$work/cat.times"
: >"$work/sox.times"
for ((round = 0; round < runs; ++round)); do
    run_once "${analyze_command[@]}" >>"$work/analyze.times"
    run_once "${cat_command[@]}" >>"$work/cat.times"
    run_once "${sox_command[@]}" >>"$work/sox.times"
done

read -r a_m a_lo a_hi <<<"$(summary "$work/analyze.times")"
read -r c_m c_lo c_hi <<<"$(summary "$work/cat.times")"
read -r x_m x_lo x_hi <<<"$(summary "$work/sox.times")"

awk -v a="$a_m" -v alo="$a_lo" -v ahi="$a_hi" -v c="$c_m" -v clo="$c_lo" -v chi="$c_hi" \
    -v x="$x_m" -v xlo="$x_lo" -v xhi="$x_hi" -v secs="$seconds" -v target="$min_real_time" 'BEGIN {
    printf "\n%-34s %9s %18s %14s\n", "wall clock, s", "median", "fastest - slowest",
           "x real time"
    printf "%-34s %9.3f %8.3f - %7.3f %14.0f\n", "sonorette-gain --analyze IN", a, alo, ahi, secs / a
    printf "%-34s %9.3f %8.3f - %7.3f %14.0f\n", "cat IN", c, clo, chi, secs / c
    printf "%-34s %9.3f %8.3f - %7.3f %14.0f\n", "sox -V1 IN -n stats", x, xlo, xhi, secs / x
    printf "\n%-34s %8.0f x (slowest run %.0f x)   target >= %d x  %s\n",
           "--analyze, real time / median", secs / a, secs / ahi, target,
           (secs / a >= target ? "PASS" : "FAIL")
    printf "%-34s %8.1f\n", "sox stats / --analyze (medians)", x / a
}'
