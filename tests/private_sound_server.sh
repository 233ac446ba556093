# Sourced by the preview tests and benchmarks: a PulseAudio server of their own, on a private
# socket, whose only sink is a null sink, with ALSA's default device pointed at it, so nothing
# ever reaches a real sound card.
#
#   start_private_sound_server DIR RATE    # exports HOME, XDG_RUNTIME_DIR, PULSE_SERVER
#   stop_private_sound_server
# The sink is "sonorette_test"; record it from "sonorette_test.monitor".

start_private_sound_server() {
    local dir=$1 rate=$2
    for tool in pulseaudio pactl parec; do
        if ! command -v "$tool" >/dev/null; then
            echo "skipped: $tool is not installed"
            exit 77
        fi
    done
    export HOME=$dir XDG_RUNTIME_DIR=$dir PULSE_SERVER=unix:$dir/native
    cat >"$dir/.asoundrc" <<'ASOUND'
pcm.!default { type pulse }
ctl.!default { type pulse }
ASOUND
    # Without rewinds the monitor records exactly what the sink played.
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=yes --log-target=stderr \
        --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        --load="module-null-sink sink_name=sonorette_test rate=$rate norewinds=1" \
        >"$dir/pulse.log" 2>&1 &
    SOUND_SERVER_PID=$!
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    cat "$dir/pulse.log"
    echo "the private sound server did not start"
    exit 1
}

stop_private_sound_server() {
    if [[ -n ${SOUND_SERVER_PID:-} ]]; then
        kill "$SOUND_SERVER_PID" 2>/dev/null || true
        wait "$SOUND_SERVER_PID" 2>/dev/null || true
        SOUND_SERVER_PID=
    fi
}
