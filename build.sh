#!/usr/bin/env bash
# Sets up a Debian 12 machine for Sonorette, builds it and runs it or its tests.
#
#   ./build.sh run    install what building and running need, build, start the Sonorette dialog
#   ./build.sh test   install that and the test tools, build, run the whole test suite
#
# Missing packages are installed with apt-get: directly as root, through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")"

# What building and running the programs need.
PACKAGES=(
    cmake ninja-build g++ pkg-config libebur128-dev
    portaudio19-dev libasound2-dev libjack-jackd2-dev libasound2-plugins libpulse-dev
    qt6-base-dev libgl-dev qt6-translations-l10n fonts-ipafont-gothic
)
# What the tests need besides.
TEST_PACKAGES=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev   # libFuzzer and the sanitizers' runtimes
    pulseaudio pulseaudio-utils   # a private sound server for the preview tests
    pipewire pipewire-pulse wireplumber dbus alsa-utils   # and a private PipeWire
    xvfb xauth   # the screenshot test's X server
    python3   # reads the command line's JSON as a script would
)

install_missing() {
    local missing=()
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return
    fi
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "build.sh: these packages are missing: ${missing[*]}" >&2
            echo "build.sh: this machine has no sudo; run ./build.sh $mode as root (su -)." >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    # Through env, since sudo resets the environment before apt-get would see the variable.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# PipeWire's ALSA plugin (pipewire-alsa) conflicts with the PulseAudio server, so the PipeWire
# tests take it from its package, unpacked into the build folder.
fetch_pipewire_alsa_plugin() {
    local prefix=$1
    if ! (source tests/private_pipewire.sh && ensure_pipewire_alsa_plugin "$prefix" >/dev/null); then
        local sudo=()
        [[ $(id -u) -eq 0 ]] || sudo=(sudo)
        "${sudo[@]}" apt-get update -q
        (source tests/private_pipewire.sh && ensure_pipewire_alsa_plugin "$prefix")
    fi
}

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir"
}

jobs=$(nproc)
mode=${1:-}

case "$mode" in
run)
    install_missing "${PACKAGES[@]}"
    build build -DSONORETTE_TESTS=OFF
    if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
        echo "build.sh: Sonorette is built (build/app/Sonorette), but there is no display to" \
            "show its window on: start it from a desktop session." >&2
        exit 1
    fi
    exec build/app/Sonorette
    ;;
test)
    install_missing "${PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    echo "== Fuzzing the wave reader for 30 s"
    fuzz/run.sh 30 build-fuzz
    echo "== Fuzzing the save side for 20 s"
    fuzz/run.sh 20 build-fuzz replace_fuzz
    echo "== Playback and file-gain tests under ThreadSanitizer"
    build build-tsan -DCMAKE_BUILD_TYPE=Debug -DSONORETTE_SANITIZE=thread -DSONORETTE_APP=OFF
    build-tsan/tests/player_tests
    build-tsan/tests/playback_tests
    build-tsan/tests/wave_tests --gtest_filter='StreamingGain*:SampleKernelsTest.Spans*:Loudness*'
    echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    build build-asan -DCMAKE_BUILD_TYPE=Debug -DSONORETTE_SANITIZE=address,undefined \
        -DSONORETTE_APP=OFF
    # The sound server's own libraries are not ours to check for leaks.
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^sound_server'
    echo "== Tests"
    fetch_pipewire_alsa_plugin build/pipewire-alsa
    build build -DSONORETTE_TESTS=ON
    ctest --test-dir build --output-on-failure -j "$jobs"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
