# What the end-to-end benchmark scripts share; sourced by them, not run.

# Stops with the build command when the programs are not built in the build folder.
#   require_programs SCRIPT BUILD_DIR PROGRAM...
require_programs() {
    local script=$1 build=$2
    shift 2
    for program in "$@"; do
        if [[ ! -x $program ]]; then
            echo "$script: no sonorette-gain and sonorette-wavegen in $build; build first:" >&2
            echo "  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release" \
                "-DSONORETTE_BENCH=ON -DSONORETTE_TESTS=OFF && ninja -C build-bench" >&2
            exit 2
        fi
    done
}

apt_updated=0
# Installs a Debian package with apt-get, through sudo when not root.
install_package() {
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    echo "Installing $1"
    if ((apt_updated == 0)); then
        "${sudo[@]}" apt-get update -q >/dev/null
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "$1" >/dev/null
}

# Other work on the machine skews the timings: says how busy the CPUs were over the last second.
report_cpu_use() {
    local u1 n1 s1 i1 w1 q1 sq1 st1 u2 n2 s2 i2 w2 q2 sq2 st2
    read -r _ u1 n1 s1 i1 w1 q1 sq1 st1 _ </proc/stat
    sleep 1
    read -r _ u2 n2 s2 i2 w2 q2 sq2 st2 _ </proc/stat
    local busy=$(((u2 + n2 + s2 + q2 + sq2 + st2) - (u1 + n1 + s1 + q1 + sq1 + st1)))
    local idle=$(((i2 + w2) - (i1 + w1)))
    echo "CPU use by other work over the second before the timings:" \
        "$((100 * busy / (busy + idle + 1)))% of $(nproc) CPUs"
}

# "median min max" of a file of numbers.
summary() {
    sort -g "$1" | awk '{ t[NR] = $1 } END {
        m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "%.4f %.4f %.4f", m, t[1], t[NR] }'
}
