#!/usr/bin/env bash
# The preview on the real PortAudio path into a private sound server's null sink, with another
# thread keeping a core busy: time from Play to the first frame heard, the feeder's CPU, and
# whether every frame was heard in order with no gap.
#
#   bench/preview_bench.sh [BUILD_DIR] [SECONDS]     (defaults: build-bench, 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
seconds=${2:-60}
rate=44100

source "$root/tests/private_sound_server.sh"
dir=$(mktemp -d)
recorder=
cleanup() {
    [[ -n $recorder ]] && kill "$recorder" 2>/dev/null
    stop_private_sound_server
    rm -rf "$dir"
}
trap cleanup EXIT
start_private_sound_server "$dir" $rate

"$build/cli/sonorette-wavegen" "$dir/tone.wav" --rate $rate --channels 2 --bits 16 \
    --seconds "$seconds" --peak 0.5
parec -d sonorette_test.monitor --format=s16le --rate=$rate --channels=2 --raw "$dir/heard.raw" &
recorder=$!
sleep 1
echo "== ${seconds} s preview at $rate Hz with the other core busy"
"$build/bench/sonorette-preview-bench" "$dir/tone.wav" --busy | tee "$dir/result.txt"
sleep 0.5
kill -INT "$recorder"
wait "$recorder" || true
recorder=

verdict() { if (( $(echo "$1" | bc -l) )); then echo PASS; else echo FAIL; fi; }
overhead=$(sed -n 's/.*start_overhead_ms=\([-0-9.]*\).*/\1/p' "$dir/result.txt")
feeder=$(sed -n 's/.*feeder_cpu_percent=\([-0-9.]*\).*/\1/p' "$dir/result.txt")
echo "start within output latency + 15 ms: $overhead ms over: $(verdict "$overhead <= 15")"
echo "feeder CPU under 1 % of a core: $feeder %: $(verdict "$feeder < 1")"
check=$(find "$build" -name sonorette-recording-check -type f | head -1)
if "$check" "$dir/heard.raw" "$dir/tone.wav"; then
    echo "no missing frame and no gap (underrun): PASS"
else
    echo "missing frames or a gap: FAIL"
    exit 1
fi
