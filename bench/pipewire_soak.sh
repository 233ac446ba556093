#!/usr/bin/env bash
# The preview soaked on a private PipeWire: every setup of tests/private_pipewire.sh on both
# routes (pipewire-alsa, pipewire-pulse), RUNS previews each, every one checked frame by frame,
# next to the same number of plays by the distribution's own players (aplay; on the PulseAudio
# route also paplay) on the same server, which are the baseline and the harness's control, and
# by aplay with the preview's 40 ms buffer ("aplay-40ms"), which says what the route does for
# any client that asks for so little.
# Prints per setup how many plays were exact and the time from each player's launch to its first
# frame heard; per route, at 44.1 kHz, also the time from Ctrl-C (SIGINT) to silence.
#
#   bench/pipewire_soak.sh [BUILD_DIR] [RUNS] [SECONDS]     (defaults: build, 20, 3)
#
# BUILD_DIR is a normal build (sonorette-gain, sonorette-wavegen and the test tools). A play is
# also counted when the PipeWire daemon logged a missed cycle (xrun) of any node during it, and
# when its two recordings disagreed (a recorder lost frames: the harness's own noise).
# KEEP=DIR in the environment keeps the recordings and outputs of plays that were not exact.
# ROUTES="alsa" or "pulse" in the environment limits the routes, and SETUPS="44100 0 desktop;..."
# the setups.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-20}
seconds=${3:-3}
gain=$build/cli/sonorette-gain
wavegen=$build/cli/sonorette-wavegen
export RECORDING_CHECK=$build/tests/sonorette-recording-check
export RECORDING_CLOCK=$build/tests/sonorette-recording-clock

source "$root/tests/private_pipewire.sh"
top=$(mktemp -d)
cleanup() {
    stop_private_pipewire
    rm -rf "$top"
}
trap cleanup EXIT

# "median (min-max)" of the numbers given, "-" standing for a play in which nothing was heard.
spread() {
    local numbers
    numbers=$(printf '%s\n' "$@" | grep -E '^-?[0-9]+$' | sort -n) || true
    if [[ -z $numbers ]]; then
        echo "-"
        return
    fi
    awk '{ v[NR] = $1 } END { printf "%d (%d-%d)", v[int((NR + 1) / 2)], v[1], v[NR] }' <<<"$numbers"
}

setups=("${PIPEWIRE_SETUPS[@]}")
[[ -n ${SETUPS:-} ]] && IFS=';' read -r -a setups <<<"$SETUPS"

echo "== $runs runs of a $seconds s preview per setup; start: ms from launch to first frame heard"
for route in ${ROUTES:-alsa pulse}; do
    [[ $route == alsa ]] && ensure_pipewire_alsa_plugin "$build/pipewire-alsa"
    for setup in "${setups[@]}"; do
        read -r rate quantum mode <<<"$setup"
        dir=$top/$route-$rate-$quantum-$mode
        mkdir -p "$dir"
        file=$dir/counter.wav
        "$wavegen" "$file" --rate "$rate" --channels 2 --bits 16 --seconds "$seconds" \
            --signal counter
        "$gain" --percent 100 "$file" -o "$dir/expected.wav" >/dev/null
        start_private_pipewire "$dir" "$rate" "$route" "$quantum" "$mode"
        start_pipewire_recording heard

        players=($(pipewire_controls "$route") aplay-40ms preview)
        declare -A exact=() starts=() xruns=() underflows=() differ=()
        failures=()
        for player in "${players[@]}"; do
            exact[$player]=0
            xruns[$player]=0
            underflows[$player]=0
            differ[$player]=0
            starts[$player]=
        done
        for ((run = 1; run <= runs; ++run)); do
            for player in "${players[@]}"; do
                if [[ $player == preview ]]; then
                    command=("$gain" --play --percent 100 "$file")
                elif [[ $player == aplay-40ms ]]; then
                    command=(aplay -v --buffer-time=40000 "$file")
                else
                    read -r -a command <<<"$(pipewire_control_command "$player" "$file")"
                fi
                if play_recorded "$player-$run" "$dir/expected.wav" "${command[@]}"; then
                    exact[$player]=$((exact[$player] + 1))
                else
                    failure="run $run, $player: $PLAY_VERDICT;"
                    failures+=("$failure underflows: $PLAY_UNDERFLOWS, xruns: $PLAY_XRUNS")
                    if [[ -n ${KEEP:-} ]]; then
                        mkdir -p "$KEEP/$route-$rate-$quantum-$mode"
                        cp "$dir/$player-$run".* "$KEEP/$route-$rate-$quantum-$mode/"
                    fi
                fi
                [[ $PLAY_XRUNS == 0 ]] || xruns[$player]=$((xruns[$player] + 1))
                [[ $PLAY_UNDERFLOWS == 0 ]] || underflows[$player]=$((underflows[$player] + 1))
                differ[$player]=$((differ[$player] + PLAY_RECORDERS_DIFFER))
                starts[$player]+=" $PLAY_START_MS"
            done
        done
        line="$(pipewire_route_name "$route") $rate Hz, quantum ${quantum/#0/auto}, $mode:"
        for player in "${players[@]}"; do
            # shellcheck disable=SC2086
            line+=" $player ${exact[$player]}/$runs exact (xruns in ${xruns[$player]},"
            line+=" underflows in ${underflows[$player]},"
            line+=" recordings differ in ${differ[$player]}),"
            # shellcheck disable=SC2086
            line+=" start $(spread ${starts[$player]}) ms;"
        done
        echo "${line%;}"
        for failure in "${failures[@]}"; do
            echo "    $failure"
        done

        if [[ $setup == "44100 0 desktop" ]]; then
            line="$(pipewire_route_name "$route") stop, ms from SIGINT 1 s into the play to silence:"
            for player in "${players[@]}"; do
                [[ $player != aplay-40ms ]] || continue
                stops=()
                for ((run = 1; run <= runs; ++run)); do
                    if [[ $player == preview ]]; then
                        command=("$gain" --play --percent 100 "$file")
                    else
                        read -r -a command <<<"$(pipewire_control_command "$player" "$file")"
                    fi
                    play_interrupted "stop-$player-$run" 1 "${command[@]}"
                    stops+=("$PLAY_STOP_MS")
                done
                line+=" $player $(spread "${stops[@]}");"
            done
            echo "${line%;}"
        fi
        stop_private_pipewire
        rm -rf "$dir"
        unset exact starts xruns differ
    done
done
