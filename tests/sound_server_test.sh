#!/usr/bin/env bash
# Plays a tone with `sonorette-gain --play` through PortAudio into a PulseAudio server of the
# test's own, whose only sink is a null sink, records that sink's monitor and checks that every
# gain-applied frame was heard in order. Never reaches a real sound card: the server listens on a
# private socket and ALSA's default device is pointed at it.
#
#   sound_server_test.sh SONORETTE_GAIN SONORETTE_WAVEGEN RECORDING_CHECK
set -euo pipefail
gain=$1 wavegen=$2 check=$3

for tool in pulseaudio pactl parec; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done

dir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$dir"
}
trap cleanup EXIT

export HOME=$dir XDG_RUNTIME_DIR=$dir PULSE_SERVER=unix:$dir/native
cat >"$dir/.asoundrc" <<'ASOUND'
pcm.!default { type pulse }
ctl.!default { type pulse }
ASOUND

rate=44100
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=yes --log-target=stderr \
    --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
    --load="module-null-sink sink_name=sonorette_test rate=$rate norewinds=1" >"$dir/pulse.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
done
pactl info >/dev/null || { cat "$dir/pulse.log"; echo "the private sound server did not start"; exit 1; }

# A mono tone, so the preview's widening to stereo is heard too.
"$wavegen" "$dir/tone.wav" --rate $rate --channels 1 --bits 16 --seconds 1 --peak 0.25
"$gain" --percent 150 "$dir/tone.wav" -o "$dir/expected.wav" >/dev/null

parec -d sonorette_test.monitor --format=s16le --rate=$rate --channels=2 --raw "$dir/heard.raw" &
recorder=$!
pids+=($recorder)
sleep 1
"$gain" --play --percent 150 "$dir/tone.wav"
sleep 0.5
kill -INT "$recorder"
wait "$recorder" || true

"$check" "$dir/heard.raw" "$dir/expected.wav"

# Ctrl-C stops a long preview at once and cleanly: exit status 0, well before its end.
"$wavegen" "$dir/long.wav" --rate $rate --channels 2 --bits 16 --seconds 20 --peak 0.25
"$gain" --play "$dir/long.wav" >/dev/null &
player=$!
pids+=($player)
sleep 1
started=$(date +%s%N)
kill -INT "$player"
status=0
wait "$player" || status=$?
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
if [[ $status -ne 0 || $elapsed_ms -gt 2000 ]]; then
    echo "Ctrl-C: exit status $status after $elapsed_ms ms"
    exit 1
fi
echo "Ctrl-C stopped the preview in $elapsed_ms ms"

# A device that cannot start: the server is gone. The device's own message, exit status 1.
kill "${pids[0]}"
wait "${pids[0]}" 2>/dev/null || true
status=0
message=$("$gain" --play "$dir/tone.wav" 2>&1 >/dev/null) || status=$?
if [[ $status -ne 1 || $message != *"再生デバイスのオープンに失敗しました。"* && $message != *"オーディオデバイスがないか、サポートされていないフォーマットです。"* ]]; then
    echo "without a sound server: exit status $status, said: $message"
    exit 1
fi
echo "without a sound server: exit status 1 and: $message"
