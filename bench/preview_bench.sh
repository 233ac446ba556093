#!/usr/bin/env bash
# The preview on the real PortAudio path into a private sound server's null sink, with another
# thread keeping a core busy: time from Play to the first frame heard, the feeder's CPU, and
# whether every frame was heard in order with no gap. The time to the first frame heard is the
# time to the device's first take plus the latency that the device reports; on PipeWire it is
# also read off the recording, whose every quantum carries its arrival time.
#
#   bench/preview_bench.sh [BUILD_DIR] [SECONDS] [SERVER]
#
# Defaults: build-bench, 60, pulseaudio. SERVER is pulseaudio, or pipewire-alsa or pipewire-pulse
# for a private PipeWire reached through that route (tests/private_pipewire.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
seconds=${2:-60}
rate=44100

server=${3:-pulseaudio}

dir=$(mktemp -d)
recorder=
if [[ $server == pulseaudio ]]; then
    source "$root/tests/private_sound_server.sh"
    cleanup() {
        [[ -n $recorder ]] && kill "$recorder" 2>/dev/null
        stop_private_sound_server
        rm -rf "$dir"
    }
    trap cleanup EXIT
    start_private_sound_server "$dir" $rate
    parec -d sonorette_test.monitor --format=s16le --rate=$rate --channels=2 --raw \
        "$dir/heard.raw" &
    recorder=$!
    heard=$dir/heard.raw
else
    # Built with the tests when they are on, with the benchmarks otherwise.
    RECORDING_CLOCK=$(find "$build" -name sonorette-recording-clock -type f | head -1)
    export RECORDING_CLOCK
    source "$root/tests/private_pipewire.sh"
    cleanup() {
        stop_private_pipewire
        rm -rf "$dir"
    }
    trap cleanup EXIT
    route=${server#pipewire-}
    [[ $route == alsa ]] && ensure_pipewire_alsa_plugin "$build/pipewire-alsa"
    start_private_pipewire "$dir" $rate "$route"
    start_pipewire_recording heard
    read -r -a recorded_from <<<"$(recording_bytes)"
    heard=$dir/heard-1.raw
fi

"$build/cli/sonorette-wavegen" "$dir/tone.wav" --rate $rate --channels 2 --bits 16 \
    --seconds "$seconds" --peak 0.5
sleep 1
echo "== ${seconds} s preview at $rate Hz on $server with the other core busy"
"$build/bench/sonorette-preview-bench" "$dir/tone.wav" --busy | tee "$dir/result.txt"
sleep 0.5
if [[ $server == pulseaudio ]]; then
    kill -INT "$recorder"
    wait "$recorder" || true
    recorder=
else
    read -r -a recorded_to <<<"$(recording_bytes)"
    first=$(pipewire_heard_ns first 0 "${recorded_from[0]}" "${recorded_to[0]}")
    stop_pipewire_recording
fi

verdict() { if (( $(echo "$1" | bc -l) )); then echo PASS; else echo FAIL; fi; }
overhead=$(sed -n 's/.*start_overhead_ms=\([-0-9.]*\).*/\1/p' "$dir/result.txt")
feeder=$(sed -n 's/.*feeder_cpu_percent=\([-0-9.]*\).*/\1/p' "$dir/result.txt")
# The estimate counts every frame a whole latency late, which the first frames of a stream that
# starts with them in its buffer are not; the recording, where there is one, says what was heard.
echo "start within output latency + 15 ms, estimated from the first take: $overhead ms over:" \
    "$(verdict "$overhead <= 15")"
if [[ -n ${first:-} ]]; then
    pressed=$(sed -n 's/.*pressed_ns=\([0-9]*\).*/\1/p' "$dir/result.txt")
    latency=$(sed -n 's/.*latency_ms=\([0-9.]*\).*/\1/p' "$dir/result.txt")
    heard_ms=$(echo "($first - $pressed) / 1000000" | bc -l)
    over=$(echo "$heard_ms - $latency" | bc -l)
    printf 'start to first frame heard in the recording: %.1f ms (%.1f ms over the latency): %s\n' \
        "$heard_ms" "$over" "$(verdict "$over <= 15")"
fi
echo "feeder CPU under 1 % of a core: $feeder %: $(verdict "$feeder < 1")"
check=$(find "$build" -name sonorette-recording-check -type f | head -1)
if "$check" "$heard" "$dir/tone.wav"; then
    echo "no missing frame and no gap (underrun): PASS"
else
    echo "missing frames or a gap: FAIL"
    exit 1
fi
