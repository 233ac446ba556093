#!/usr/bin/env bash
# Sets up a Debian 12 machine for Sonorette, builds it and runs it or its tests.
#
#   ./build.sh run    install what is missing, build, start the Sonorette dialog
#   ./build.sh test   install what is missing, build, run the whole test suite
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
    cmake ninja-build g++ pkg-config
    portaudio19-dev libasound2-dev libjack-jackd2-dev libasound2-plugins
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev   # libFuzzer and the sanitizers' runtimes
    pulseaudio pulseaudio-utils   # a private sound server for the preview tests
    qt6-base-dev libgl-dev qt6-translations-l10n fonts-ipafont-gothic
    xvfb xauth   # the screenshot test's X server
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
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir"
}

jobs=$(nproc)

case "${1:-}" in
run)
    install_missing "${PACKAGES[@]}"
    build build
    exec build/app/Sonorette
    ;;
test)
    install_missing "${PACKAGES[@]}"
    echo "== Fuzzing the wave reader for 30 s"
    fuzz/run.sh 30 build-fuzz
    echo "== Playback and file-gain tests under ThreadSanitizer"
    build build-tsan -DCMAKE_BUILD_TYPE=Debug -DSONORETTE_SANITIZE=thread -DSONORETTE_APP=OFF
    build-tsan/tests/player_tests
    build-tsan/tests/playback_tests
    build-tsan/tests/wave_tests --gtest_filter='StreamingGain*:SampleKernelsTest.Spans*'
    echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    build build-asan -DCMAKE_BUILD_TYPE=Debug -DSONORETTE_SANITIZE=address,undefined \
        -DSONORETTE_APP=OFF
    # The sound server's own libraries are not ours to check for leaks.
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^sound_server'
    echo "== Tests"
    build build
    ctest --test-dir build --output-on-failure -j "$jobs"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
