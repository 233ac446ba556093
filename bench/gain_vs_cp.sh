#!/usr/bin/env bash
# Times sonorette-gain normalising one generated 300 MB 16-bit stereo file against cp and
# `sox gain -n` on the same file, and normalising files of the same duration in 24-bit PCM and
# 32-bit floats (450 and 600 MB, narrowed to 16 bits with dither); measures its peak memory on the
# 16-bit file and on a 300 MB 8-bit one.
#
#   bench/gain_vs_cp.sh [BUILD_DIR [RUNS]]   BUILD_DIR: build-bench (an optimised build) by default;
#                                            RUNS: 11 by default
#
# The three commands take turns, RUNS rounds of one run each, so that whatever else the machine
# does falls on all of them alike; every run writes a new output file (the previous one is
# removed first), beside the input in a temporary folder under /tmp that stays in the page cache.
# Reported: the median wall-clock time of each command with its spread (fastest and slowest run),
# the ratios of the medians, and the largest resident set of sonorette-gain (GNU time) on both
# files. Targets: sonorette-gain at most 1.3 x cp, sox at least 10 x sonorette-gain, at most 64 MB
# of memory, and the 24-bit and float files at most 1.5 x the 16-bit one. Set GAIN=/path/to/sonorette-gain to time another build of it in the same way.
# Set BEFORE=/path/to/an-older/sonorette-gain to time that build too on the three files, in the
# same rounds, for a comparison of before and after; GAIN_ARGS (for example "--percent 150") is
# added to every run of either build.
# Installs sox and GNU time with apt-get when they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${2:-11}
gain=${GAIN:-$build/cli/sonorette-gain}
before=${BEFORE:-}
read -r -a gain_args <<<"${GAIN_ARGS:-}"
wavegen=$build/cli/sonorette-wavegen
bytes=300000000
max_gain_over_cp=1.3
min_sox_over_gain=10
max_rss_mb=64
max_wide_over_16=1.5

source "$root/bench/bench_support.sh"
require_programs "$(basename "$0")" "$build" "$gain" "$wavegen"

command -v sox >/dev/null || install_package sox
[[ -x /usr/bin/time ]] || install_package time

work=$(mktemp -d /tmp/sonorette-gain-vs-cp.XXXXXX)
trap 'rm -rf "$work"' EXIT
in=$work/in.wav
in8=$work/in8.wav
in24=$work/in24.wav
inf32=$work/inf32.wav
out=$work/out.wav

"$wavegen" "$in" --rate 44100 --channels 2 --bits 16 --bytes "$bytes" --peak 0.25
"$wavegen" "$in8" --rate 44100 --channels 2 --bits 8 --bytes "$bytes" --peak 0.25
"$wavegen" "$in24" --rate 44100 --channels 2 --bits 24 --bytes $((bytes / 2 * 3)) --peak 0.25
"$wavegen" "$inf32" --rate 44100 --channels 2 --bits 32 --float --bytes $((bytes * 2)) --peak 0.25
# On disk once, so that no writeback of the inputs runs during the timings; read once, so that
# they are in the page cache.
sync "$in" "$in8" "$in24" "$inf32"
cat "$in" "$in8" "$in24" "$inf32" >/dev/null
size=$(stat -c %s "$in")

# A plain user-space copy: no reflink and no in-kernel copy_file_range.
cp_command=(cp --reflink=never "$in" "$out")
gain_command=("$gain" "$in" -o "$out" "${gain_args[@]}")
gain24_command=("$gain" "$in24" -o "$out" "${gain_args[@]}")
gainf32_command=("$gain" "$inf32" -o "$out" "${gain_args[@]}")
# -V1: errors only; sox would otherwise warn about the dither it clips after normalising.
sox_command=(sox -V1 "$in" "$out" gain -n)

# Wall-clock seconds of one run of the command, after removing its output and flushing the
# file system.
run_once() {
    rm -f "$out"
    # The previous run's output written back first, so that its writeback does not fall on this
    # run's time (the 16-bit gain, which follows sox, otherwise took up to 8 x its fastest time).
    sync
    local start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1
    local end=$EPOCHREALTIME
    if [[ $(stat -c %s "$out") -ne $size ]]; then
        echo "gain_vs_cp.sh: $1 wrote $(stat -c %s "$out") bytes, not $size" >&2
        exit 1
    fi
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

echo "Input: $size bytes of 16-bit stereo (peak 0.25), and as 24-bit and float; $runs rounds of" \
    "gain (16-bit, 24-bit, float), cp and sox in turn"
if [[ -n ${GAIN_ARGS:-} ]]; then
    echo "Every run of sonorette-gain with: $GAIN_ARGS"
fi
report_cpu_use

: >"$work/gain.times"
: >"$work/gain24.times"
: >"$work/gainf32.times"
: >"$work/cp.times"
: >"$work/sox.times"
for ((round = 0; round < runs; ++round)); do
    run_once "${gain_command[@]}" >>"$work/gain.times"
    run_once "${gain24_command[@]}" >>"$work/gain24.times"
    run_once "${gainf32_command[@]}" >>"$work/gainf32.times"
    run_once "${cp_command[@]}" >>"$work/cp.times"
    run_once "${sox_command[@]}" >>"$work/sox.times"
    if [[ -n $before ]]; then
        run_once "$before" "$in" -o "$out" "${gain_args[@]}" >>"$work/before.times"
        run_once "$before" "$in24" -o "$out" "${gain_args[@]}" >>"$work/before24.times"
        run_once "$before" "$inf32" -o "$out" "${gain_args[@]}" >>"$work/beforef32.times"
    fi
done
rm -f "$out"

# Largest resident set in MB of sonorette-gain on the given input, from GNU time.
peak_rss_mb() {
    rm -f "$out"
    /usr/bin/time -v "$gain" "$1" -o "$out" >/dev/null 2>"$work/time.txt"
    rm -f "$out"
    awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 * 1024 / 1e6 }' "$work/time.txt"
}
rss16=$(peak_rss_mb "$in")
rss8=$(peak_rss_mb "$in8")

read -r gain_m gain_lo gain_hi <<<"$(summary "$work/gain.times")"
read -r g24_m g24_lo g24_hi <<<"$(summary "$work/gain24.times")"
read -r gf_m gf_lo gf_hi <<<"$(summary "$work/gainf32.times")"
read -r cp_m cp_lo cp_hi <<<"$(summary "$work/cp.times")"
read -r sox_m sox_lo sox_hi <<<"$(summary "$work/sox.times")"

awk -v g="$gain_m" -v glo="$gain_lo" -v ghi="$gain_hi" \
    -v c="$cp_m" -v clo="$cp_lo" -v chi="$cp_hi" \
    -v x="$sox_m" -v xlo="$sox_lo" -v xhi="$sox_hi" \
    -v rss16="$rss16" -v rss8="$rss8" -v maxrss="$max_rss_mb" \
    -v g24="$g24_m" -v g24lo="$g24_lo" -v g24hi="$g24_hi" \
    -v gf="$gf_m" -v gflo="$gf_lo" -v gfhi="$gf_hi" -v maxw="$max_wide_over_16" \
    -v maxgc="$max_gain_over_cp" -v minxg="$min_sox_over_gain" 'BEGIN {
    printf "\n%-34s %9s %18s\n", "wall clock, s", "median", "fastest - slowest"
    printf "%-34s %9.3f %8.3f - %7.3f\n", "sonorette-gain IN -o OUT", g, glo, ghi
    printf "%-34s %9.3f %8.3f - %7.3f\n", "cp --reflink=never IN OUT", c, clo, chi
    printf "%-34s %9.3f %8.3f - %7.3f\n", "sox -V1 IN OUT gain -n", x, xlo, xhi
    printf "%-34s %9.3f %8.3f - %7.3f\n", "sonorette-gain IN24 -o OUT", g24, g24lo, g24hi
    printf "%-34s %9.3f %8.3f - %7.3f\n", "sonorette-gain INFLOAT32 -o OUT", gf, gflo, gfhi
    gc = g / c
    xg = x / g
    printf "\n%-34s %8.2f   target <= %.1f  %s\n", "gain / cp (medians)", gc, maxgc,
           (gc <= maxgc ? "PASS" : "FAIL")
    printf "%-34s %8.1f   target >= %d   %s\n", "sox / gain (medians)", xg, minxg,
           (xg >= minxg ? "PASS" : "FAIL")
    printf "%-34s %8.2f   target <= %.1f  %s\n", "24-bit gain / 16-bit gain", g24 / g, maxw,
           (g24 / g <= maxw ? "PASS" : "FAIL")
    printf "%-34s %8.2f   target <= %.1f  %s\n", "float gain / 16-bit gain", gf / g, maxw,
           (gf / g <= maxw ? "PASS" : "FAIL")
    printf "\nsonorette-gain peak memory (max RSS), target <= %d MB:\n", maxrss
    printf "  300 MB 16-bit input: %6.1f MB  %s\n", rss16, (rss16 <= maxrss ? "PASS" : "FAIL")
    printf "  300 MB  8-bit input: %6.1f MB  %s\n", rss8, (rss8 <= maxrss ? "PASS" : "FAIL")
}'

if [[ -n $before ]]; then
    printf "\nThe build before: %s\n" "$before"
    printf "%-34s %9s %18s\n" "wall clock, s" "median" "fastest - slowest"
    for file in before:IN before24:IN24 beforef32:INFLOAT32; do
        read -r m lo hi <<<"$(summary "$work/${file%%:*}.times")"
        printf "%-34s %9.3f %8.3f - %7.3f\n" "sonorette-gain ${file#*:} -o OUT" "$m" "$lo" "$hi"
    done
fi
