#!/usr/bin/env bash
# Runs two builds of sonorette-gain on the same inputs and checks that they write the same bytes,
# print the same lines and end with the same status: for a change that must not change what the
# program does (a new reading or writing path, say), against a build from before it.
#
#   tests/compare_gain_outputs.sh OLD_GAIN NEW_GAIN WAVEGEN
#
# Inputs: the fuzzer's seeds (fuzz/corpus), tones from WAVEGEN in both depths and channel counts
# from one frame to 300 MB, and files made here whose data spans several of the command line's
# pieces with an odd length or an unknown chunk before it. Each input is scaled with the
# proposed percentage and with several given ones, and --propose is run on it. Not part of the
# test suite (it needs the old build); the differences found are listed, and the exit status is
# 1 when there is any. Warnings about clipped samples (a build from before them printed none)
# are left out of the comparison of standard error and counted apart.
set -euo pipefail

if (($# != 3)); then
    echo "usage: $0 OLD_GAIN NEW_GAIN WAVEGEN" >&2
    exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
wavegen=$(realpath "$3")
root=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d /tmp/sonorette-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/old" "$work/new"

cp "$root"/fuzz/corpus/*.wav "$work/in/"
for bits in 8 16; do
    for channels in 1 2; do
        frame=$((bits / 8 * channels))
        for bytes in $frame 1000 $((1048576 - frame)) $((4 * 1048576 + frame)) 9000000; do
            "$wavegen" "$work/in/tone_${bits}_${channels}_$bytes.wav" --bits $bits \
                --channels $channels --bytes $bytes --peak 0.3
        done
    done
    "$wavegen" "$work/in/full_$bits.wav" --bits $bits --bytes 300000000 --peak 1.0
    "$wavegen" "$work/in/silent_$bits.wav" --bits $bits --bytes 5000000 --peak 0
done
python3 - "$work/in" <<'EOF'
import random, struct, sys
folder = sys.argv[1]
rng = random.Random(10)

def fmt(channels, bits, rate=22050):
    align = channels * bits // 8
    return struct.pack('<HHIIHH', 1, channels, rate, rate * align, align, bits)

def chunk(cid, body, pad=True):
    data = cid + struct.pack('<I', len(body)) + body
    return data + (b'\0' if pad and len(body) % 2 else b'')

def write(name, chunks):
    body = b'WAVE' + b''.join(chunks)
    with open(f'{folder}/{name}', 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', len(body)) + body)

noise = bytes(rng.getrandbits(8) for _ in range(9 * 1048576 + 7))
write('odd_16_pieces.wav', [chunk(b'fmt ', fmt(1, 16)), chunk(b'data', noise)])
write('odd_8_pieces.wav', [chunk(b'fmt ', fmt(2, 8)), chunk(b'data', noise[:5 * 1048576 + 3])])
write('list_before_pieces.wav', [chunk(b'fmt ', fmt(2, 16)), chunk(b'LIST', b'abc'),
                                 chunk(b'data', noise[:6 * 1048576])])
EOF

differences=0
clip_notice='個のサンプルがクリップしました。$'
declare -A clip_warnings=([old]=0 [new]=0)
compare() {
    local name=$1
    shift
    for side in old new; do
        local gain=${!side}
        rm -f "$work/$side/out.wav"
        local status=0
        (cd "$work/$side" && "$gain" "$@" >stdout 2>stderr.all) || status=$?
        echo "$status" >"$work/$side/status"
        grep -v "$clip_notice" "$work/$side/stderr.all" >"$work/$side/stderr" || true
        if grep -q "$clip_notice" "$work/$side/stderr.all"; then
            clip_warnings[$side]=$((clip_warnings[$side] + 1))
        fi
    done
    for file in out.wav stdout stderr status; do
        if [[ -e $work/old/$file || -e $work/new/$file ]] &&
            ! cmp -s "$work/old/$file" "$work/new/$file"; then
            echo "DIFFERENT $file: $name: $*"
            differences=$((differences + 1))
        fi
    done
}

inputs=0
for input in "$work"/in/*.wav; do
    inputs=$((inputs + 1))
    name=$(basename "$input")
    compare "$name" "$input" -o out.wav
    for percent in 0 1 37 100 150 400 1000; do
        compare "$name" --percent "$percent" "$input" -o out.wav
    done
    compare "$name" --propose "$input"
done
compare "missing" "$work/in/missing.wav" -o out.wav

echo "$inputs inputs, 9 runs each and one missing input: $differences differences"
echo "runs that warned of clipped samples: old ${clip_warnings[old]}, new ${clip_warnings[new]}"
((differences == 0))
