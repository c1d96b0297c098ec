#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time and prints how many inputs it executed.
# Usage: fuzz/run.sh BUILD_DIR     FUZZ_SECONDS sets the time per target (default 60).
# One section per component below; a section lists its targets with run_fuzzer.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: fuzz/run.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-60}
failed=0

# run_fuzzer NAME [libFuzzer options]: keeps its corpus in fuzz/corpus-NAME/ (seeded from
# fuzz/seeds/NAME/ when present) and any finding in fuzz/corpus-NAME-findings/.
run_fuzzer() {
    local name=$1
    shift
    local binary
    binary=$(find "$build" -type f -name "$name" -perm -u+x 2>/dev/null | head -n 1)
    if [ -z "$binary" ]; then
        printf '%-24s not built (fuzz targets need clang)\n' "$name"
        failed=1
        return
    fi
    local corpus=$here/corpus-$name findings=$here/corpus-$name-findings
    mkdir -p "$corpus" "$findings"
    local inputs=("$corpus")
    [ -d "$here/seeds/$name" ] && inputs+=("$here/seeds/$name")
    local log status executions
    log=$(mktemp)
    if "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" "$@" \
        "${inputs[@]}" >"$log" 2>&1; then
        status=clean
    else
        status=FINDING
        failed=1
        tail -n 40 "$log"
    fi
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    printf '%-24s %-8s executions: %s in %ss\n' "$name" "$status" "${executions:-?}" "$seconds"
    rm -f "$log"
}

echo "== Quillan"
run_fuzzer quillan_hexfile_fuzz -max_len=8192
run_fuzzer quillan_exports_fuzz -max_len=8192
run_fuzzer quillan_crc32_fuzz

echo "== UART link"
run_fuzzer uart_answer_fuzz -max_len=1024

echo "== Image reading"
run_fuzzer image_hex_fuzz -max_len=4096

echo "== Image checks"
run_fuzzer imagecheck_header_fuzz -max_len=4096

echo "== Simulated board"
run_fuzzer board_firmware_fuzz -max_len=4096

exit $failed
