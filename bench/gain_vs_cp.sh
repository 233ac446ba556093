#!/usr/bin/env bash
# Times sonorette-gain end to end on one ~300 MB 16-bit stereo file against cp and sox, and reports
# its peak memory.
#
#   bench/gain_vs_cp.sh [BUILD_DIR]      BUILD_DIR defaults to build-bench (an optimised build)
#
# Each command runs 5 times, with its output file removed before every run so that every run
# writes a new file; the best wall-clock time counts. The input is generated once in a temporary
# folder under /tmp (the output goes beside it, on the same file system) and stays in the page
# cache. Targets: sonorette-gain within 2x of cp, and sox at least 4x slower than sonorette-gain.
# Installs sox and GNU time with apt-get when they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
gain=$build/cli/sonorette-gain
wavegen=$build/cli/sonorette-wavegen
runs=5
bytes=300000000
max_gain_over_cp=2.0
min_sox_over_gain=4.0

if [[ ! -x $gain || ! -x $wavegen ]]; then
    echo "gain_vs_cp.sh: no sonorette-gain and sonorette-wavegen in $build; build first:" >&2
    echo "  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONORETTE_BENCH=ON" \
        "-DSONORETTE_TESTS=OFF && ninja -C build-bench" >&2
    exit 2
fi

apt_updated=0
install_package() {
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    echo "Installing $1"
    if ((apt_updated == 0)); then
        "${sudo[@]}" apt-get update -q >/dev/null
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "$1" >/dev/null
}
command -v sox >/dev/null || install_package sox
[[ -x /usr/bin/time ]] || install_package time

work=$(mktemp -d /tmp/sonorette-gain-vs-cp.XXXXXX)
trap 'rm -rf "$work"' EXIT
in=$work/in.wav
out=$work/out.wav

"$wavegen" "$in" --rate 44100 --channels 2 --bits 16 --bytes "$bytes" --peak 0.25
# On disk once, so that no writeback of the input runs during the timings; read once, so that
# it is in the page cache.
sync "$in"
cat "$in" >/dev/null
size=$(stat -c %s "$in")

# Best wall-clock seconds of $runs runs of the command; each run writes a new $out.
best_time() {
    local best="" start end
    for ((i = 0; i < runs; ++i)); do
        rm -f "$out"
        start=$EPOCHREALTIME
        "$@" >/dev/null
        end=$EPOCHREALTIME
        best=$(awk -v s="$start" -v e="$end" -v b="$best" \
            'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.3f", b }')
    done
    if [[ $(stat -c %s "$out") -ne $size ]]; then
        echo "gain_vs_cp.sh: $1 wrote $(stat -c %s "$out") bytes, not $size" >&2
        exit 1
    fi
    echo "$best"
}

echo "Input: $in, $size bytes (16-bit stereo, peak 0.25); best of $runs runs, wall clock"
# Other work on the machine skews the timings: say how busy the CPUs were just before.
read -r _ u1 n1 s1 i1 w1 q1 sq1 st1 _ </proc/stat
sleep 1
read -r _ u2 n2 s2 i2 w2 q2 sq2 st2 _ </proc/stat
busy=$(((u2 + n2 + s2 + q2 + sq2 + st2) - (u1 + n1 + s1 + q1 + sq1 + st1)))
idle=$(((i2 + w2) - (i1 + w1)))
echo "CPU use by other work over the second before the timings: $((100 * busy / (busy + idle + 1)))%" \
    "of $(nproc) CPUs"

# A plain user-space copy: no reflink and no in-kernel copy_file_range, like sonorette-gain.
cp_command=(cp --reflink=never)
cp_note="cp runs as 'cp --reflink=never': it may not share the input's blocks (reflink)"
if command -v strace >/dev/null; then
    head -c 1048576 "$in" >"$work/probe"
    if strace -f -e trace=ioctl,copy_file_range "${cp_command[@]}" "$work/probe" \
        "$work/probe.copy" 2>&1 | grep -q -E 'FICLONE|copy_file_range\('; then
        cp_note+="; strace shows it still uses FICLONE or copy_file_range here"
    else
        cp_note+="; strace shows it copies with read()/write() only, no FICLONE or copy_file_range"
    fi
    rm -f "$work/probe" "$work/probe.copy"
fi
echo "$cp_note"

gain_s=$(best_time "$gain" "$in" -o "$out")
# Peak memory, in one more run right after the timed ones (its time does not count).
rm -f "$out"
/usr/bin/time -v "$gain" "$in" -o "$out" >/dev/null 2>"$work/time.txt"
rss_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
faults=$(awk -F': ' '/Minor \(reclaiming a frame\) page faults/ { print $2 }' "$work/time.txt")
user_s=$(awk -F': ' '/User time/ { print $2 }' "$work/time.txt")
sys_s=$(awk -F': ' '/System time/ { print $2 }' "$work/time.txt")

cp_s=$(best_time "${cp_command[@]}" "$in" "$out")
# -V1: errors only; sox would otherwise warn about the dither it clips after normalising.
sox_s=$(best_time sox -V1 "$in" "$out" gain -n)

awk -v g="$gain_s" -v c="$cp_s" -v x="$sox_s" -v rss="$rss_kb" -v size="$size" \
    -v maxgc="$max_gain_over_cp" -v minxg="$min_sox_over_gain" \
    -v faults="$faults" -v user="$user_s" -v sys="$sys_s" 'BEGIN {
    printf "\n%-34s %8.3f s\n", "sonorette-gain IN -o OUT", g
    printf "%-34s %8.3f s\n", "cp --reflink=never IN OUT", c
    printf "%-34s %8.3f s\n", "sox -V1 IN OUT gain -n", x
    gc = g / c
    xg = x / g
    printf "\n%-34s %8.2f   target <= %.1f  %s\n", "gain/cp", gc, maxgc, (gc <= maxgc ? "PASS" : "FAIL")
    printf "%-34s %8.2f   target >= %.1f  %s\n", "sox/gain", xg, minxg, (xg >= minxg ? "PASS" : "FAIL")
    printf "\nsonorette-gain peak memory (max RSS): %.1f MB = %.2f x the file size\n",
           rss * 1024 / 1e6, rss * 1024 / size
    printf "  (that run: user %s s, system %s s, %s minor page faults)\n", user, sys, faults
}'
