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
