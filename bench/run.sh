#!/usr/bin/env bash
# Prints the benchmark figures of each component.
# Usage: bench/run.sh BUILD_DIR     (a build configured with -DTOLVAR_BENCH=ON)
# One section per component below: a function that prints its figures, called at the end.
set -uo pipefail
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# best_seconds N COMMAND...: the best wall-clock time of N runs of COMMAND, in seconds.
best_seconds() {
    local runs=$1 best="" start end elapsed
    shift
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1 || return 1
        end=$(date +%s%N)
        elapsed=$((end - start))
        if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

# peak_mib COMMAND...: the peak resident memory of one run of COMMAND, in MiB.
peak_mib() {
    /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null 2>&1 || return 1
    awk '{ printf "%.1f", $1 / 1024 }' "$work/peak"
}

# Quillan: ihex_makeImage on 4 MiB of data in 16-byte records, against srec_cat on the same file.
quillan_section() {
    echo "== Quillan"
    local bench=$build/bench/quillan_bench cli=$build/hexlib/quillan hex=$work/in.hex
    if [ ! -x "$bench" ] || [ ! -x "$cli" ]; then
        echo "quillan_bench or quillan not built in $build"
        failed=1
        return
    fi
    "$bench" --generate "$hex" || { echo "cannot generate $hex"; failed=1; return; }
    echo "input: $(stat -c %s "$hex") bytes of Intel HEX, 4194304 bytes of data"
    local ours ourPeak
    ours=$(best_seconds 5 "$cli" image "$hex" "$work/ours.bin")
    ourPeak=$(peak_mib "$cli" image "$hex" "$work/ours.bin")
    echo "quillan image (ihex_makeImage): best of 5 ${ours} s, peak memory ${ourPeak} MiB (target <= 64 MiB)"
    if command -v srec_cat >/dev/null; then
        local theirs theirPeak
        theirs=$(best_seconds 5 srec_cat "$hex" -intel -o "$work/theirs.bin" -binary)
        theirPeak=$(peak_mib srec_cat "$hex" -intel -o "$work/theirs.bin" -binary)
        echo "srec_cat in.hex -intel -o out.bin -binary: best of 5 ${theirs} s, peak memory ${theirPeak} MiB"
        awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "time ratio quillan/srec_cat: %.2fx (target <= 0.5x)\n", a / b }'
    else
        echo "srec_cat not installed (Debian package srecord): no comparison"
    fi
    QUILLAN_BENCH_HEX=$hex "$bench" --benchmark_min_time=1 2>&1 || failed=1
}

# UART link: register exchanges through a pty against tolvar-board, unpaced and at 115200 baud.
link_section() {
    echo "== UART link"
    local bench=$build/bench/link_bench
    if [ ! -x "$bench" ]; then
        echo "link_bench not built in $build"
        failed=1
        return
    fi
    "$bench" --benchmark_counters_tabular=true 2>&1 || failed=1
    echo "targets: unpaced exchanges_per_s >= 25k; at 115200 time_over_wire <= 1.03"
}

quillan_section
link_section
exit $failed
