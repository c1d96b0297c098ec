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

# start_board PREFIX ARGS...: starts tolvar-board in the prefix and waits for its "ready" line;
# the board's pid is left in $board_pid.
start_board() {
    local prefix=$1
    shift
    mkdir -p "$prefix"
    "$build/board/tolvar-board" --prefix "$prefix" "$@" >"$prefix/board.out" 2>&1 &
    board_pid=$!
    for ((i = 0; i < 100; i++)); do
        grep -q '^ready' "$prefix/board.out" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "tolvar-board did not get ready"
    return 1
}

stop_board() {
    kill -TERM "$board_pid" 2>/dev/null
    wait "$board_pid" 2>/dev/null
}

# tolvar_run PREFIX ARGS...: one Tolvar run in the prefix; its output goes to $work/tolvar.out.
tolvar_run() {
    local prefix=$1
    shift
    TOLVAR_PREFIX=$prefix "$build/front/Tolvar" "$@" </dev/null >"$work/tolvar.out" 2>&1
}

# Image operations: fast burn + verify of 256 KiB on a kind-3 flash against the protocol's wire
# bound at 115200 baud, the same unpaced, and the peak memory of burning 256 KiB and 4 MiB.
image_section() {
    echo "== Image operations"
    local bench=$build/bench/image_bench
    for program in "$bench" "$build/front/Tolvar" "$build/board/tolvar-board"; do
        if [ ! -x "$program" ]; then
            echo "$program not built"
            failed=1
            return
        fi
    done
    local small=$work/fw_256k.hex large=$work/fw_4m.hex
    "$bench" --generate "$small" 262144 && "$bench" --generate "$large" 4194304 || { failed=1; return; }
    echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

    local boundLine bound
    boundLine=$("$bench" --bound "$small") || { echo "$boundLine"; failed=1; return; }
    echo "$boundLine"
    bound=$(sed -n 's/^bound \([0-9.]*\) s.*/\1/p' <<<"$boundLine")

    local paced unpaced
    start_board "$work/paced" --baud 115200 || { failed=1; return; }
    paced=$(best_seconds 1 tolvar_run "$work/paced" uasrc FBV "$small")
    stop_board
    if [ -z "$paced" ] || ! grep -q 'Verification succeeded' "$work/tolvar.out"; then
        echo "paced FBV failed"
        failed=1
    else
        echo "FBV 256 KiB at 115200 baud: ${paced} s"
        awk -v a="$paced" -v b="$bound" 'BEGIN { printf "ratio to the wire bound: %.3fx (target <= 1.03x)\n", a / b }'
    fi

    start_board "$work/unpaced" || { failed=1; return; }
    unpaced=$(best_seconds 1 tolvar_run "$work/unpaced" uasrc FBV "$small")
    grep -q 'Verification succeeded' "$work/tolvar.out" || { echo "unpaced FBV failed"; failed=1; }
    echo "FBV 256 KiB unpaced (tool and pty overhead): ${unpaced} s"
    local peakSmall peakLarge
    peakSmall=$(peak_mib env TOLVAR_PREFIX="$work/unpaced" "$build/front/Tolvar" uasrc FNOB "$small")
    peakLarge=$(peak_mib env TOLVAR_PREFIX="$work/unpaced" "$build/front/Tolvar" uasrc FNOB "$large")
    stop_board
    echo "peak memory of a fast burn: 256 KiB image ${peakSmall} MiB, 4 MiB image ${peakLarge} MiB"
    awk -v a="$peakSmall" -v b="$peakLarge" 'BEGIN { d = b - a; if (d < 0) d = -d;
        printf "difference %.1f MiB (target <= 1 MiB)\n", d }'
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
    IMAGE_BENCH_HEX=$small "$bench" --benchmark_min_time=1 2>&1 || failed=1
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
    echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    "$bench" --benchmark_counters_tabular=true 2>&1 || failed=1
    echo "targets: unpaced exchanges_per_s >= 25k; at 115200 time_over_wire <= 1.03"
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

quillan_section
image_section
link_section
exit $failed
