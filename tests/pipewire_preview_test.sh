#!/usr/bin/env bash
# Plays previews on a private PipeWire through one route, at each rate and quantum of the
# setups in private_pipewire.sh, records the null sink's monitor and checks every recording frame
# by frame: silence, every frame of the file once and in order, then silence. Before the preview,
# the distribution's own players (aplay, and paplay on the PulseAudio route) play the same file
# the same way; if they are not exact, the harness is broken, not the preview.
#
#   pipewire_preview_test.sh alsa|pulse PLUGIN_PREFIX SONORETTE_GAIN SONORETTE_WAVEGEN
#                            RECORDING_CHECK RECORDING_CLOCK [DIALOG_PLAY]
#
# PLUGIN_PREFIX is where PipeWire's ALSA plugin is unpacked when it is not installed. With
# DIALOG_PLAY the preview is played by the dialog's Play button instead, at 44.1 kHz only.
# Prints one line per setup.
set -euo pipefail
route=$1 prefix=$2 gain=$3 wavegen=$4 dialog=${7:-}
export RECORDING_CHECK=$5 RECORDING_CLOCK=$6

source "$(dirname "$0")/private_pipewire.sh"
[[ $route == alsa ]] && ensure_pipewire_alsa_plugin "$prefix"
top=$(mktemp -d)
cleanup() {
    stop_private_pipewire
    rm -rf "$top"
}
trap cleanup EXIT

# Plays once more when the two recordings of a play disagree (a recorder lost frames, and the
# play may have been exact), or when the server says that a stream ran dry or a node missed a
# cycle: a process was not run in time, which a loaded machine does to aplay and paplay as well.
# The second play decides.
checked_play() {
    play_recorded "$@" && return 0
    if ((PLAY_RECORDERS_DIFFER == 1)); then
        echo "($1: the recorders lost frames; played again)"
    elif [[ $PLAY_UNDERFLOWS != 0 || $PLAY_XRUNS != 0 ]]; then
        echo "($1: $PLAY_VERDICT; underflows: $PLAY_UNDERFLOWS, xruns: $PLAY_XRUNS; played again)"
    else
        return 1
    fi
    play_recorded "$@"
}

setups=("${PIPEWIRE_SETUPS[@]}")
preview=preview
if [[ -n $dialog ]]; then
    setups=("44100 0 desktop")
    preview="dialog preview"
fi
seconds=2
failures=0
for setup in "${setups[@]}"; do
    read -r rate quantum mode <<<"$setup"
    dir=$top/$rate-$quantum-$mode
    mkdir -p "$dir"
    file=$dir/counter.wav
    "$wavegen" "$file" --rate "$rate" --channels 2 --bits 16 --seconds $seconds --signal counter
    "$gain" --percent 100 "$file" -o "$dir/expected.wav" >/dev/null

    start_private_pipewire "$dir" "$rate" "$route" "$quantum" "$mode"
    start_pipewire_recording heard
    line="$(pipewire_route_name "$route") $rate Hz, quantum ${quantum/#0/auto}, $mode:"
    for control in $(pipewire_controls "$route"); do
        # shellcheck disable=SC2046
        if ! checked_play "$control" "$dir/expected.wav" \
            $(pipewire_control_command "$control" "$file"); then
            line+=" $control $PLAY_VERDICT, underflows: $PLAY_UNDERFLOWS, xruns: $PLAY_XRUNS"
            line+=" (the harness is broken);"
            failures=$((failures + 1))
            continue
        fi
        if [[ $control == aplay ]] &&
            ! grep -q "$(pipewire_alsa_plugin_name "$route")" "$dir/aplay.out"; then
            line+=" aplay did not go through $(pipewire_alsa_plugin_name "$route") (the harness is broken);"
            failures=$((failures + 1))
            continue
        fi
        line+=" $control exact;"
    done
    if [[ -n $dialog ]]; then
        checked_play preview "$dir/expected.wav" env QT_QPA_PLATFORM=offscreen "$dialog" "$file" 100 ||
            failures=$((failures + 1))
    else
        checked_play preview "$dir/expected.wav" "$gain" --play --percent 100 "$file" ||
            failures=$((failures + 1))
    fi
    [[ $PLAY_VERDICT == exact ]] ||
        PLAY_VERDICT+=", underflows: $PLAY_UNDERFLOWS, xruns: $PLAY_XRUNS"
    echo "$line $preview $PLAY_VERDICT"
    if [[ $PLAY_VERDICT != exact ]]; then
        grep -v '^heard:' "$dir/preview.check" 2>/dev/null | sed 's/^/    /' || true
    fi
    stop_private_pipewire
done
if ((failures > 0)); then
    echo "$failures plays were not exact"
    exit 1
fi
