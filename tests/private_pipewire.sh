# Sourced by the PipeWire preview tests and benchmarks: a PipeWire server of their own, from the
# distribution's packages, with WirePlumber as its session manager, on a private runtime folder,
# home and D-Bus session bus. Its only sink is a null sink, and ALSA's default device reaches it
# the way a desktop has it, by one of two routes:
#   alsa   ALSA's default device is PipeWire's own ALSA plugin (pipewire-alsa);
#   pulse  ALSA's default device is the PulseAudio plugin, talking to PipeWire's PulseAudio
#          server (pipewire-pulse).
# Nothing ever reaches a real sound card: the server loads no device plugin, and WirePlumber's
# ALSA, V4L2, libcamera and Bluetooth monitors are off.
#
#   ensure_pipewire_alsa_plugin PREFIX
#       finds PipeWire's ALSA plugin, unpacking it under PREFIX when it is not installed: its
#       package conflicts with the PulseAudio server that the other preview tests need.
#   start_private_pipewire DIR RATE ROUTE [QUANTUM [desktop|vm]]
#       the graph runs at RATE; QUANTUM (0: the server's choice) is forced through the settings
#       metadata. "desktop" (the default) leaves out the larger minimum quantum that PipeWire's
#       own configuration asks for on a virtual machine (vm.overrides), whether or not this
#       machine is one; "vm" sets it outright (1024 frames, and 1024/48000 s for the PulseAudio
#       server), since PipeWire does not recognise every virtual machine as one.
#   start_pipewire_recording NAME      records the sink's monitor twice over, raw s16le stereo at
#                                      RATE, into DIR/NAME-1.raw and DIR/NAME-2.raw, with arrival
#                                      times in DIR/NAME-N.times
#   play_recorded, play_interrupted    play something and check or time what was heard (below)
#   stop_pipewire_recording
#   stop_private_pipewire              stops everything that start_… started
# The sink is "sonorette_test". Tools that are missing make the caller exit 77 (skipped).

PIPEWIRE_SINK=sonorette_test
PIPEWIRE_PIDS=()
PIPEWIRE_RECORDER_PIDS=()
PIPEWIRE_CLOCK_PIDS=()
PIPEWIRE_RECORDINGS=()

pipewire_skip() {
    echo "skipped: $*"
    exit 77
}

ensure_pipewire_alsa_plugin() {
    local prefix=$1 name=libasound_module_pcm_pipewire.so found= candidate version download
    for candidate in /usr/lib/*/alsa-lib/$name /usr/lib64/alsa-lib/$name /usr/lib/alsa-lib/$name; do
        [[ -f $candidate ]] && found=$candidate && break
    done
    if [[ -z $found ]]; then
        # The plugin must match the installed PipeWire library exactly.
        version=$(dpkg-query -W -f='${Version}' libpipewire-0.3-0 2>/dev/null) ||
            pipewire_skip "libpipewire-0.3-0 is not installed"
        found=$(find "$prefix/$version" -name $name 2>/dev/null | head -1) || true
    fi
    if [[ -z $found ]]; then
        download=$(mktemp -d)
        if ! (cd "$download" && apt-get download -q "pipewire-alsa=$version" >/dev/null 2>&1); then
            rm -rf "$download"
            pipewire_skip "pipewire-alsa $version cannot be downloaded"
        fi
        mkdir -p "$prefix/$version"
        dpkg -x "$download"/pipewire-alsa_*.deb "$prefix/$version"
        rm -rf "$download"
        found=$(find "$prefix/$version" -name $name | head -1)
        [[ -n $found ]] || pipewire_skip "pipewire-alsa holds no ALSA plugin"
    fi
    PIPEWIRE_ALSA_PLUGIN_DIR=$(cd "$(dirname "$found")" && pwd)
}

# Waits up to five seconds for COMMAND to succeed.
pipewire_wait_for() {
    for _ in $(seq 50); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

pipewire_default_sink_is_ours() {
    pw-metadata -n default 0 default.audio.sink | grep -q "\"$PIPEWIRE_SINK\""
}

pipewire_write_server_config() {
    local rate=$1 mode=$2 minQuantum=16
    # What the daemon and the PulseAudio server load alike: no device plugin.
    local common="context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
    { name = libpipewire-module-protocol-native }"
    [[ $mode == vm ]] && minQuantum=1024
    cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf" <<CONF
# The daemon's configuration, in place of the distribution's: the same modules, no device plugin,
# the graph at the file's rate, and a null sink that stands for the sound card.
context.properties = {
    link.max-buffers = 16
    core.daemon = true
    core.name = pipewire-0
    default.clock.rate = $rate
    default.clock.allowed-rates = [ $rate ]
    default.clock.min-quantum = $minQuantum
}
$common
    { name = libpipewire-module-profiler }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Freewheel-Driver
            priority.driver = 19000
            node.group = pipewire.freewheel
            node.freewheel = true
        }
    }
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = $PIPEWIRE_SINK
            node.description = "Sonorette test sink"
            media.class = Audio/Sink
            audio.rate = $rate
            audio.channels = 2
            audio.position = [ FL FR ]
            monitor.channel-volumes = false
            object.linger = true
        }
    }
]
CONF
    local pulseMinQuantum=
    [[ $mode == vm ]] && pulseMinQuantum="pulse.min.quantum = 1024/48000"
    cat >"$XDG_CONFIG_HOME/pipewire/pipewire-pulse.conf" <<CONF
# The PulseAudio server's configuration, in place of the distribution's: the same modules and
# defaults, listening in the private runtime folder.
$common
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse }
]
pulse.properties = {
    server.address = [ "unix:native" ]
    $pulseMinQuantum
}
CONF
    # WirePlumber reads these after its own files of the same kind; a later file wins.
    mkdir -p "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d"
    cat >"$XDG_CONFIG_HOME/wireplumber/main.lua.d/51-sonorette-no-devices.lua" <<'LUA'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
LUA
    echo 'bluez_monitor.enabled = false' \
        >"$XDG_CONFIG_HOME/wireplumber/bluetooth.lua.d/51-sonorette-no-devices.lua"
}

pipewire_start() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    PIPEWIRE_PIDS+=($!)
}

pipewire_fail() {
    echo "$1"
    local log
    for log in "$PIPEWIRE_DIR"/*.log; do
        echo "== $log"
        tail -20 "$log"
    done
    exit 1
}

start_private_pipewire() {
    local dir=$1 rate=$2 route=$3 quantum=${4:-0} mode=${5:-desktop} tool
    local tools=(dbus-daemon pipewire wireplumber pw-record pw-metadata pw-cli)
    [[ $route == pulse ]] && tools+=(pipewire-pulse pactl)
    for tool in "${tools[@]}"; do
        command -v "$tool" >/dev/null || pipewire_skip "$tool is not installed"
    done
    if [[ $route == alsa && -z ${PIPEWIRE_ALSA_PLUGIN_DIR:-} ]]; then
        echo "ensure_pipewire_alsa_plugin must come first"
        exit 2
    fi
    PIPEWIRE_DIR=$dir
    PIPEWIRE_RATE=$rate
    mkdir -p "$dir/run" "$dir/home" "$dir/config/pipewire" "$dir/state"
    chmod 700 "$dir/run"
    export HOME=$dir/home XDG_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config
    export XDG_STATE_HOME=$dir/state DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/run/bus
    # Nothing from the caller's session may steer the server or its clients.
    unset PIPEWIRE_REMOTE PIPEWIRE_LATENCY PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME PULSE_SINK
    unset PIPEWIRE_NODE PIPEWIRE_PROPS ALSA_CONFIG_PATH
    if [[ $route == pulse ]]; then
        export PULSE_SERVER=unix:$dir/run/pulse/native
        cat >"$HOME/.asoundrc" <<'ASOUND'
pcm.!default { type pulse }
ctl.!default { type pulse }
ASOUND
    else
        # With no PulseAudio server to be found, the PulseAudio plugin's configuration leaves
        # ALSA's default device alone.
        export PULSE_SERVER=unix:$dir/run/no-pulseaudio-here
        cat >"$HOME/.asoundrc" <<ASOUND
pcm_type.pipewire { lib "$PIPEWIRE_ALSA_PLUGIN_DIR/libasound_module_pcm_pipewire.so" }
ctl_type.pipewire { lib "$PIPEWIRE_ALSA_PLUGIN_DIR/libasound_module_ctl_pipewire.so" }
pcm.!default { type pipewire playback_node "-1" capture_node "-1" }
ctl.!default { type pipewire }
ASOUND
    fi
    pipewire_write_server_config "$rate" "$mode"

    pipewire_start "$dir/dbus.log" dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" \
        --nofork --nopidfile
    pipewire_wait_for test -S "$dir/run/bus" || pipewire_fail "the private D-Bus did not start"
    pipewire_start "$dir/pipewire.log" pipewire
    pipewire_wait_for pw-cli info 0 || pipewire_fail "PipeWire did not start"
    pipewire_start "$dir/wireplumber.log" wireplumber
    pipewire_wait_for pipewire_default_sink_is_ours ||
        pipewire_fail "WirePlumber did not make the null sink the default"
    if [[ $route == pulse ]]; then
        # At level 3 its PulseAudio module logs each stream that ran dry (UNDERFLOW).
        pipewire_start "$dir/pipewire-pulse.log" env PIPEWIRE_DEBUG=2,mod.protocol-pulse:3 \
            pipewire-pulse
        pipewire_wait_for pactl info || pipewire_fail "pipewire-pulse did not start"
    fi
    if ((quantum > 0)); then
        pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
        pipewire_wait_for pipewire_setting_is clock.force-quantum "$quantum" ||
            pipewire_fail "the quantum could not be forced to $quantum"
    fi
}

pipewire_setting_is() {
    pw-metadata -n settings 0 "$1" | grep -q "value:'$2'"
}

# A recorder that misses a cycle loses that quantum from its recording, though the sink played
# it; two recorders seldom miss the same one. Each runs at real-time priority where that is
# allowed and writes into a pipe, so that a slow disk never holds it up.
start_pipewire_recording() {
    local name=$1 clock=${RECORDING_CLOCK:?} base copy realtime=()
    chrt -f 10 true 2>/dev/null && realtime=(chrt -f 10)
    for copy in 1 2; do
        base=$PIPEWIRE_DIR/$name-$copy
        mkfifo "$base.fifo"
        "$clock" record "$base.raw" "$base.times" <"$base.fifo" &
        PIPEWIRE_CLOCK_PIDS+=($!)
        PIPEWIRE_RECORDINGS+=("$base.raw")
        # Unbuffered, pw-record hands over every quantum as it comes, which times the recording.
        "${realtime[@]}" stdbuf -o0 pw-record --target "$PIPEWIRE_SINK" \
            -P '{ stream.capture.sink = true }' --rate "$PIPEWIRE_RATE" --channels 2 \
            --channel-map FL,FR --format s16 - >"$base.fifo" 2>"$base.log" &
        PIPEWIRE_RECORDER_PIDS+=($!)
    done
    # The recordings have begun once the silent monitor has delivered something.
    for base in "${PIPEWIRE_RECORDINGS[@]}"; do
        pipewire_wait_for test -s "$base" || pipewire_fail "pw-record recorded nothing"
    done
}

# The length of each recording so far, in whole frames' bytes.
recording_bytes() {
    local recording bytes lengths=()
    for recording in "${PIPEWIRE_RECORDINGS[@]}"; do
        bytes=$(stat -c %s "$recording")
        lengths+=($((bytes - bytes % 4)))
    done
    echo "${lengths[*]}"
}

stop_pipewire_recording() {
    local pid
    # The recorders first: each clock then writes out what it holds and ends with its input.
    for pid in "${PIPEWIRE_RECORDER_PIDS[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for pid in "${PIPEWIRE_CLOCK_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    PIPEWIRE_RECORDER_PIDS=()
    PIPEWIRE_CLOCK_PIDS=()
    PIPEWIRE_RECORDINGS=()
}

stop_private_pipewire() {
    stop_pipewire_recording
    local pid i
    for ((i = ${#PIPEWIRE_PIDS[@]} - 1; i >= 0; --i)); do
        pid=${PIPEWIRE_PIDS[i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    PIPEWIRE_PIDS=()
}

# The setups that the tests and the soak benchmark play on, as "RATE QUANTUM MODE" for
# start_private_pipewire.
PLAY_TIME_LIMIT=30
PIPEWIRE_SETUPS=(
    "22050 0 desktop" "44100 0 desktop" "48000 0 desktop" "96000 0 desktop"
    "44100 1024 desktop" "44100 4096 desktop" "44100 0 vm"
)

pipewire_route_name() {
    if [[ $1 == alsa ]]; then echo pipewire-alsa; else echo pipewire-pulse; fi
}

# The distribution's own players that prove a route exact: aplay through ALSA's default device,
# and on the PulseAudio route also paplay, the server's own client.
pipewire_controls() {
    if [[ $1 == alsa ]]; then echo aplay; else echo "aplay paplay"; fi
}

# The command line of control NAME playing FILE. aplay says which plugin it went through.
pipewire_control_command() {
    case $1 in
    aplay) echo "aplay -v $2" ;;
    paplay) echo "paplay $2" ;;
    esac
}

# The plugin that ALSA's default device must be on ROUTE, as aplay -v names it.
pipewire_alsa_plugin_name() {
    if [[ $1 == alsa ]]; then echo "ALSA <-> PipeWire PCM I/O Plugin"; else
        echo "ALSA <-> PulseAudio PCM I/O Plugin"
    fi
}

# Bytes FROM..TO of recording INDEX into OUT.
pipewire_cut_recording() {
    local index=$1 from=$2 to=$3 out=$4
    tail -c +$((from + 1)) "${PIPEWIRE_RECORDINGS[index]}" | head -c $((to - from)) >"$out"
}

# When the first sound, or the end of the last, in bytes FROM..TO of recording INDEX was heard.
pipewire_heard_ns() {
    local which=$1 index=$2 from=$3 to=$4 recording line
    recording=${PIPEWIRE_RECORDINGS[index]}
    line=$("$RECORDING_CLOCK" sound "$recording" "${recording%.raw}.times" "$from" "$to" \
        "$PIPEWIRE_RATE")
    sed -n "s/.*${which}_ns=\([0-9a-z]*\).*/\1/p" <<<"$line"
}

# The lines that the daemon, which runs the graph, has logged so far, and what it said since then
# about cycles that a node missed (xruns): "N (node, node...)", or "0".
pipewire_log_lines() {
    wc -l <"$PIPEWIRE_DIR/pipewire.log"
}

# The same for pipewire-pulse, when it runs: its lines so far, and how often since then it found
# a client's stream dry. It then plays silence in the stream's place and drops as much of what the
# client writes late, so one underflow of a quantum is heard as that quantum of silence standing
# in for as much sound.
pipewire_pulse_log_lines() {
    if [[ -f $PIPEWIRE_DIR/pipewire-pulse.log ]]; then
        wc -l <"$PIPEWIRE_DIR/pipewire-pulse.log"
    else
        echo 0
    fi
}

pipewire_pulse_underflows_since() {
    [[ -f $PIPEWIRE_DIR/pipewire-pulse.log ]] || {
        echo 0
        return
    }
    tail -n +$(($1 + 1)) "$PIPEWIRE_DIR/pipewire-pulse.log" | grep -c UNDERFLOW || true
}

pipewire_xruns_since() {
    local xruns
    xruns=$(tail -n +$(($1 + 1)) "$PIPEWIRE_DIR/pipewire.log" | grep -E 'xrun|missed') || true
    if [[ -z $xruns ]]; then
        echo 0
        return
    fi
    echo "$(wc -l <<<"$xruns") ($(sed -n 's/.*(\(.*\)-[0-9]*) .*/\1/p' <<<"$xruns" | sort -u |
        paste -sd, -))"
}

# play_recorded LABEL EXPECTED.wav COMMAND...
#   runs COMMAND, which should play EXPECTED.wav, while the recordings run, cuts its part out of
#   each into DIR/LABEL-N.raw and checks them frame by frame. The sink played every frame once, in
#   order, if either recording shows it: a recorder can lose frames, not make them up. Sets
#   PLAY_VERDICT to one line ("exact" or what went wrong), PLAY_RECORDERS_DIFFER to 1 when the
#   two recordings tell different stories (a recorder lost frames), PLAY_START_MS to the time
#   from the command's launch to its first frame heard ("-" when nothing was heard) and
#   PLAY_XRUNS to what the daemon logged about missed cycles meanwhile and PLAY_UNDERFLOWS to how
#   often pipewire-pulse found a stream dry meanwhile. Returns 0 when exact. A
#   command still running after PLAY_TIME_LIMIT seconds is stopped.
play_recorded() {
    local label=$1 expected=$2
    shift 2
    local from to launched first status=0 out=$PIPEWIRE_DIR/$label logged pulse_logged i exact=()
    local summaries=()
    logged=$(pipewire_log_lines)
    pulse_logged=$(pipewire_pulse_log_lines)
    read -r -a from <<<"$(recording_bytes)"
    launched=$(date +%s%N)
    timeout -k 5 "$PLAY_TIME_LIMIT" "$@" >"$out.out" 2>&1 || status=$?
    # Whatever the player left in the server's buffers is heard by now.
    sleep 0.5
    read -r -a to <<<"$(recording_bytes)"
    PLAY_XRUNS=$(pipewire_xruns_since "$logged")
    PLAY_UNDERFLOWS=$(pipewire_pulse_underflows_since "$pulse_logged")
    first=$(pipewire_heard_ns first 0 "${from[0]}" "${to[0]}")
    PLAY_START_MS=-
    [[ $first =~ ^[0-9]+$ ]] && PLAY_START_MS=$(((first - launched) / 1000000))
    PLAY_RECORDERS_DIFFER=0
    if ((status == 124)); then
        PLAY_VERDICT="did not end within $PLAY_TIME_LIMIT s"
        return 1
    elif ((status != 0)); then
        PLAY_VERDICT="exit status $status: $(tail -1 "$out.out")"
        return 1
    fi
    for i in "${!PIPEWIRE_RECORDINGS[@]}"; do
        pipewire_cut_recording "$i" "${from[i]}" "${to[i]}" "$out-$i.raw"
        if "$RECORDING_CHECK" "$out-$i.raw" "$expected" >"$out-$i.check" 2>&1; then
            exact+=("$i")
            summaries+=(exact)
        else
            summaries+=("$(grep -m1 '^heard:' "$out-$i.check" || head -1 "$out-$i.check")")
        fi
    done
    [[ ${summaries[0]} == "${summaries[1]}" ]] || PLAY_RECORDERS_DIFFER=1
    cp "$out-0.check" "$out.check"
    if ((${#exact[@]} > 0)); then
        PLAY_VERDICT=exact
        return 0
    fi
    PLAY_VERDICT="NOT EXACT: ${summaries[0]}"
    ((PLAY_RECORDERS_DIFFER == 0)) ||
        PLAY_VERDICT+=" (the other recording: ${summaries[1]#heard: })"
    return 1
}

# play_interrupted LABEL SECONDS COMMAND...
#   launches COMMAND, interrupts it with SIGINT after SECONDS and sets PLAY_STOP_MS to the time
#   from the interrupt to the end of the sound ("-" when nothing was heard).
play_interrupted() {
    local label=$1 seconds=$2
    shift 2
    local from to interrupted last player
    read -r -a from <<<"$(recording_bytes)"
    "$@" >"$PIPEWIRE_DIR/$label.out" 2>&1 &
    player=$!
    sleep "$seconds"
    interrupted=$(date +%s%N)
    kill -INT "$player"
    wait "$player" || true
    sleep 0.5
    read -r -a to <<<"$(recording_bytes)"
    last=$(pipewire_heard_ns last 0 "${from[0]}" "${to[0]}")
    PLAY_STOP_MS=-
    [[ $last =~ ^[0-9]+$ ]] && PLAY_STOP_MS=$(((last - interrupted) / 1000000))
    return 0
}
