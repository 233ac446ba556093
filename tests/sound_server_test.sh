#!/usr/bin/env bash
# Plays a tone with `sonorette-gain --play` through PortAudio into a private sound server's null
# sink, records the sink's monitor and checks that every gain-applied frame was heard in order.
#
#   sound_server_test.sh SONORETTE_GAIN SONORETTE_WAVEGEN RECORDING_CHECK [DIALOG_PLAY]
#
# With DIALOG_PLAY the preview is played by the dialog's Play button instead, and only that is
# checked.
set -euo pipefail
gain=$1 wavegen=$2 check=$3 dialog=${4:-}

source "$(dirname "$0")/private_sound_server.sh"
dir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    stop_private_sound_server
    rm -rf "$dir"
}
trap cleanup EXIT

rate=44100
start_private_sound_server "$dir" $rate

# A mono tone, so the preview's widening to stereo is heard too.
"$wavegen" "$dir/tone.wav" --rate $rate --channels 1 --bits 16 --seconds 1 --peak 0.25
"$gain" --percent 150 "$dir/tone.wav" -o "$dir/expected.wav" >/dev/null

parec -d sonorette_test.monitor --format=s16le --rate=$rate --channels=2 --raw "$dir/heard.raw" &
recorder=$!
pids+=($recorder)
sleep 1
if [[ -n $dialog ]]; then
    "$dialog" "$dir/tone.wav" 150
else
    "$gain" --play --percent 150 "$dir/tone.wav"
fi
sleep 0.5
kill -INT "$recorder"
wait "$recorder" || true

"$check" "$dir/heard.raw" "$dir/expected.wav"
[[ -z $dialog ]] || exit 0

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
stop_private_sound_server
status=0
message=$("$gain" --play "$dir/tone.wav" 2>&1 >/dev/null) || status=$?
if [[ $status -ne 1 || $message != *"再生デバイスのオープンに失敗しました。"* && $message != *"オーディオデバイスがないか、サポートされていないフォーマットです。"* ]]; then
    echo "without a sound server: exit status $status, said: $message"
    exit 1
fi
echo "without a sound server: exit status 1 and: $message"
