#!/usr/bin/env bash
# Prints every benchmark figure, each component in its section, then one summary table of the
# figures side by side with their reference, measured in this same run.
# Usage: bench/run.sh BUILD_DIR [SECTION...]   (a build configured with -DTOLVAR_BENCH=ON; the
# sections are link, image, update, parallel, save, server and quillan, all by default)
set -uo pipefail
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
board_pids=()
server_pid=""
trap 'stop_server; stop_board; rm -rf "$work"' EXIT
failed=0

# Summary rows: figure, measured, reference, ratio, target (tab-separated).
rows=()
summary() {
    local IFS=$'\t'
    rows+=("$*")
}

# ratio A B: A/B with two decimals, or "-" when either is missing.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2fx", a / b }'
}

print_summary() {
    echo
    echo "== Summary (all figures from this run; load average $(cut -d' ' -f1-3 /proc/loadavg))"
    local format="%-44s %-16s %-24s %-8s %s\n"
    printf "$format" "figure" "measured" "reference" "ratio" "target"
    local row figure measured reference r target
    for row in "${rows[@]}"; do
        IFS=$'\t' read -r figure measured reference r target <<<"$row"
        printf "$format" "$figure" "$measured" "$reference" "$r" "$target"
    done
}

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
    /usr/bin/time -f %M -o "$work/peak" "$@" >"$work/peak.out" 2>&1 || return 1
    awk '{ printf "%.1f", $1 / 1024 }' "$work/peak"
}

# have PROGRAM...: all built, else the section is reported missing.
have() {
    local program
    for program in "$@"; do
        if [ ! -x "$program" ]; then
            echo "$program not built"
            failed=1
            return 1
        fi
    done
}

# UART link: register exchanges through a pty against tolvar-board, unpaced and at 115200 baud.
link_section() {
    echo "== UART link"
    local bench=$build/bench/link_bench
    if ! have "$bench"; then
        summary "register exchanges over a pty" "not built" "" "-" ""
        return
    fi
    "$bench" --benchmark_counters_tabular=true --benchmark_out="$work/link.json" \
        --benchmark_out_format=json 2>&1 || failed=1
    # One summary row per figure: the tool's exchanges against a bare pty exchange of the same
    # bytes (unpaced), and against the wire time of those bytes (at 115200 baud).
    local row
    while IFS= read -r row; do
        rows+=("$row")
    done < <(python3 - "$work/link.json" <<'PY'
import json, sys
runs = {b["name"].split("/")[0][3:]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def row(*cells):
    print("\t".join(cells))
def ratio(a, b):
    return "%.2fx" % (a / b) if b else "-"
raw = runs.get("RawTtyExchangeUnpaced", {}).get("exchanges_per_s", 0)
for kind in ("Read", "Write"):
    run = runs.get(kind + "RegisterUnpaced")
    if run:
        rate = run["exchanges_per_s"]
        row("register %ss over a pty, unpaced" % kind.lower(), "%.0f /s" % rate,
            "bare pty %.0f /s" % raw, ratio(rate, raw), ">= 25000 /s")
for name in ("RawTtyExchangeAt115200", "ReadRegisterAt115200", "WriteRegisterAt115200"):
    run = runs.get(name)
    if run:
        label = "bare pty exchange" if name.startswith("Raw") else "register %s" % name.replace("RegisterAt115200", "").lower()
        row(label + " at 115200 baud", "%.0f us" % run["exchange_us"], "wire %.0f us" % run["wire_us"],
            "%.2fx" % run["time_over_wire"], "<= 1.03x")
PY
)
    tool_reads
}

# Register reads through the real programs, Tolvar against tolvar-board on a pty without pacing,
# against the bare pty round trip of the same sizes (10 bytes out, 26 back): saving 64 KiB is
# 16384 reads. The two alternate three times and each keeps its best, so that a busy moment of the
# machine falls on neither alone. The save is timed by the tool's own clock (no start-up).
tool_reads() {
    local reads=16384 best="" bare="" seconds rate="" each
    if have "$build/front/Tolvar" "$build/board/tolvar-board" "$build/bench/link_bench" && start_board "$work/reads"; then
        for ((i = 0; i < 3; i++)); do
            each=$("$build/bench/link_bench" --benchmark_filter=BarePtyRoundTrip --benchmark_min_time=1 \
                --benchmark_format=json 2>/dev/null |
                python3 -c 'import json, sys; print("%.0f" % json.load(sys.stdin)["benchmarks"][0]["exchanges_per_s"])')
            if [ -n "$each" ] && { [ -z "$bare" ] || [ "$each" -gt "$bare" ]; }; then bare=$each; fi
            tolvar_run "$work/reads" src u1 R 0 $((reads * 4)) "$work/reads.hex"
            seconds=$(sed -n 's/^Total bytes: [0-9]*\. Total time: \([0-9.]*\) seconds$/\1/p' "$work/tolvar.out")
            keep_if_succeeded seconds 'Save succeeded' "unpaced save"
            [ -n "$seconds" ] || break
            if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$seconds; fi
        done
        stop_board
        [ -n "$best" ] && rate=$(awk -v n=$reads -v s="$best" 'BEGIN { if (s > 0) printf "%.0f", n / s }')
    fi
    echo "register reads through Tolvar and tolvar-board, unpaced: ${rate:-failed} /s; bare pty round trip ${bare:-failed} /s"
    summary "register reads through the programs" "${rate:-failed} /s" "bare pty ${bare:-failed} /s" \
        "$(ratio "$rate" "$bare")" ">= 0.80x"
}

# start_board PREFIX ARGS...: starts a tolvar-board in the prefix and waits for its "ready" line;
# several may serve one prefix.
start_board() {
    local prefix=$1 out
    shift
    mkdir -p "$prefix"
    out="$prefix/board${#board_pids[@]}.out"
    "$build/board/tolvar-board" --prefix "$prefix" "$@" >"$out" 2>&1 &
    board_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        grep -q '^ready' "$out" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "tolvar-board did not get ready"
    return 1
}

# Stops every board started; each saves its memories.
stop_board() {
    local pid
    for pid in "${board_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    board_pids=()
}

# tolvar_run PREFIX ARGS...: one Tolvar run in the prefix; its output goes to $work/tolvar.out.
tolvar_run() {
    local prefix=$1
    shift
    TOLVAR_PREFIX=$prefix "$build/front/Tolvar" "$@" </dev/null >"$work/tolvar.out" 2>&1
}

# keep_if_succeeded VAR TEXT LABEL: empties VAR and counts a failure, showing the output, unless
# VAR holds a figure and the last Tolvar output holds TEXT.
keep_if_succeeded() {
    local -n figure=$1
    if [ -n "$figure" ] && grep -q "$2" "$work/tolvar.out"; then return; fi
    echo "$3 failed"
    cat "$work/tolvar.out"
    figure=""
    failed=1
}

# Image operations: fast burn + verify of 256 KiB on a kind-3 flash against the protocol's wire
# bound at 115200 baud, the same unpaced, and the peak memory of burning 256 KiB and 4 MiB.
image_section() {
    echo "== Image operations"
    local bench=$build/bench/image_bench
    if ! have "$bench" "$build/front/Tolvar" "$build/board/tolvar-board"; then
        summary "FBV 256 KiB at 115200 baud" "not built" "" "-" ""
        return
    fi
    local small=$work/fw_256k.hex large=$work/fw_4m.hex
    "$bench" --generate "$small" 262144 && "$bench" --generate "$large" 4194304 || { failed=1; return; }

    local boundLine bound
    boundLine=$("$bench" --bound "$small") || { echo "$boundLine"; failed=1; return; }
    echo "$boundLine"
    bound=$(sed -n 's/^bound \([0-9.]*\) s.*/\1/p' <<<"$boundLine")

    local paced=""
    start_board "$work/paced" --baud 115200 || { failed=1; return; }
    paced=$(best_seconds 1 tolvar_run "$work/paced" uasrc FBV "$small")
    stop_board
    keep_if_succeeded paced 'Verification succeeded' "paced FBV"
    echo "FBV 256 KiB at 115200 baud: ${paced:-failed} s against the wire bound ${bound} s"
    summary "FBV 256 KiB at 115200 baud" "${paced:-failed} s" "wire bound $bound s" "$(ratio "$paced" "$bound")" "<= 1.03x"

    local unpaced peakSmall peakLarge
    start_board "$work/unpaced" || { failed=1; return; }
    unpaced=$(best_seconds 1 tolvar_run "$work/unpaced" uasrc FBV "$small")
    grep -q 'Verification succeeded' "$work/tolvar.out" || { echo "unpaced FBV failed"; unpaced=""; failed=1; }
    echo "FBV 256 KiB unpaced (tool and pty overhead): ${unpaced:-failed} s"
    summary "FBV 256 KiB unpaced (tool + pty cost)" "${unpaced:-failed} s" "wire bound $bound s" "$(ratio "$unpaced" "$bound")" "(overhead)"
    # A burn that did not succeed measures nothing.
    peakSmall=$(peak_mib env TOLVAR_PREFIX="$work/unpaced" "$build/front/Tolvar" uasrc FNOB "$small")
    grep -q 'Burn succeeded' "$work/peak.out" || { echo "256 KiB burn failed"; peakSmall=""; failed=1; }
    peakLarge=$(peak_mib env TOLVAR_PREFIX="$work/unpaced" "$build/front/Tolvar" uasrc FNOB "$large")
    grep -q 'Burn succeeded' "$work/peak.out" || { echo "4 MiB burn failed"; peakLarge=""; failed=1; }
    stop_board
    echo "peak memory of a fast burn: 256 KiB image ${peakSmall:-failed} MiB, 4 MiB image ${peakLarge:-failed} MiB"
    local difference
    difference=$(awk -v a="$peakSmall" -v b="$peakLarge" 'BEGIN { d = b - a; if (d < 0) d = -d; printf "%.1f", d }')
    summary "peak RSS of a fast burn, 4 MiB image" "${peakLarge:-failed} MiB" "256 KiB image ${peakSmall:-failed} MiB" \
        "$(ratio "$peakLarge" "$peakSmall")" "difference <= 1 MiB (is $difference)"
    IMAGE_BENCH_HEX=$small "$bench" --benchmark_min_time=1 2>&1 || failed=1
}

# Update (U): re-burning 256 KiB at 115200 baud with FU against FB, once unchanged and once with
# one 4 KiB sector changed; the memory must then verify.
update_section() {
    echo "== Update"
    local bench=$build/bench/image_bench image=$work/fw_update.hex changed=$work/fw_update_changed.hex
    have "$bench" "$build/front/Tolvar" "$build/board/tolvar-board" ||
        { summary "FU unchanged 256 KiB at 115200 baud" "not built" "" "-" ""; return; }
    "$bench" --generate "$image" 262144 || { failed=1; return; }
    # The first data byte at 0x5000 changed (checksums are not checked).
    awk '!done && substr($0, 1, 9) == ":10500000" {
        $0 = substr($0, 1, 9) (substr($0, 10, 2) == "5A" ? "A5" : "5A") substr($0, 12); done = 1 } 1' \
        "$image" >"$changed"
    local fb same one verified=yes
    start_board "$work/update" --baud 115200 || { failed=1; return; }
    fb=$(best_seconds 1 tolvar_run "$work/update" uasrc FB "$image")
    keep_if_succeeded fb 'Burn succeeded' "FB"
    same=$(best_seconds 1 tolvar_run "$work/update" uasrc FU "$image")
    keep_if_succeeded same 'Update: 64 sectors unchanged and skipped, 0 rewritten' "FU of the same image"
    one=$(best_seconds 1 tolvar_run "$work/update" uasrc FU "$changed")
    keep_if_succeeded one 'Update: 63 sectors unchanged and skipped, 1 rewritten' "FU of one changed sector"
    tolvar_run "$work/update" uasrc FUV "$changed"
    keep_if_succeeded verified 'Verification succeeded' "FUV after the update"
    stop_board
    echo "FB ${fb:-failed} s, FU unchanged ${same:-failed} s, FU one sector changed ${one:-failed} s;" \
        "FUV then ${verified:-failed}"
    summary "FU unchanged 256 KiB at 115200 baud" "${same:-failed} s" "FB ${fb:-failed} s" "$(ratio "$same" "$fb")" "<= 0.35x"
    summary "FU one sector changed, 256 KiB" "${one:-failed} s" "FB ${fb:-failed} s" "$(ratio "$one" "$fb")" "<= 0.40x"
}

# Saving memory to a file (R with a file name): every word is one register read, "r%08x\n" out
# (10 bytes) and "aaaaaaaa=VVVVVVVV\r\nReady\r\n" back (26 bytes), so at 115200 baud 8N1 the wire
# carries 36 bytes per 4 bytes saved. The tool's own total time of the save against that bound.
save_section() {
    echo "== Saving memory to a file"
    if ! have "$build/front/Tolvar" "$build/board/tolvar-board"; then
        summary "R to .hex, 8 KiB at 115200 baud" "not built" "" "-" ""
        return
    fi
    local bytes=8192 file=$work/saved.hex seconds bound
    bound=$(awk -v b="$bytes" 'BEGIN { printf "%.3f", b / 4 * 36 * 10 / 115200 }')
    start_board "$work/save" --baud 115200 || { failed=1; return; }
    tolvar_run "$work/save" src u1 R 0 "$bytes" "$file"
    stop_board
    seconds=$(sed -n 's/^Total bytes: [0-9]*\. Total time: \([0-9.]*\) seconds$/\1/p' "$work/tolvar.out")
    keep_if_succeeded seconds 'Save succeeded' "save"
    echo "R 0 $bytes to .hex at 115200 baud: ${seconds:-failed} s against the wire bound ${bound} s"
    summary "R to .hex, 8 KiB at 115200 baud" "${seconds:-failed} s" "wire bound $bound s" "$(ratio "$seconds" "$bound")" "<= 1.03x"
}

# Many boards at once: OFBV of one 64 KiB image on four boards (two pairs, com1 to com4) started
# together, against the same on one board alone, all at 115200 baud; and how soon a run on another
# port gets its first exchange out while a burn runs.
parallel_section() {
    echo "== Many boards at once"
    local bench=$build/bench/image_bench
    if ! have "$bench" "$build/front/Tolvar" "$build/board/tolvar-board"; then
        summary "OFBV 64 KiB, 4 boards at once" "not built" "" "-" ""
        return
    fi
    local prefix=$work/parallel image=$work/fw_64k.hex
    "$bench" --generate "$image" 65536 || { failed=1; return; }
    start_board "$prefix" --baud 115200 --source "uart=com1,image=$prefix/com1.bin" \
        --sink "uart=com2,image=$prefix/com2.bin" || { failed=1; return; }
    start_board "$prefix" --baud 115200 --source "uart=com3,image=$prefix/com3.bin" \
        --sink "uart=com4,image=$prefix/com4.bin" || { failed=1; stop_board; return; }
    local words=([1]=src [2]=snk [3]=src [4]=snk) port start end alone four ok=1 i

    start=$(date +%s%N)
    TOLVAR_PREFIX=$prefix "$build/front/Tolvar" src u1 OFBV "$image" </dev/null >"$work/alone.out" 2>&1
    end=$(date +%s%N)
    alone=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
    grep -q 'Verification succeeded' "$work/alone.out" || { echo "single-board OFBV failed"; cat "$work/alone.out"; ok=0; }

    local runs=()
    start=$(date +%s%N)
    for port in 1 2 3 4; do
        TOLVAR_PREFIX=$prefix "$build/front/Tolvar" "${words[$port]}" "u$port" OFBV "$image" \
            </dev/null >"$work/com$port.out" 2>&1 &
        runs+=($!)
    done
    wait "${runs[@]}"
    end=$(date +%s%N)
    four=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
    for port in 1 2 3 4; do
        grep -q 'Verification succeeded' "$work/com$port.out" || { echo "OFBV on com$port failed"; cat "$work/com$port.out"; ok=0; }
    done

    # First exchange of a read on com4, alone and while com1 burns: from the start of the process
    # to its first command on the wire (the link trace on standard error).
    local firstAlone firstBusy burner
    firstAlone=$(first_exchange_ms "$prefix" snk u4 R 0 16)
    TOLVAR_PREFIX=$prefix "$build/front/Tolvar" src u1 OFB "$image" </dev/null >"$work/burner.out" 2>&1 &
    burner=$!
    for ((i = 0; i < 100; i++)); do
        grep -q 'Burning file' "$work/burner.out" 2>/dev/null && break
        sleep 0.05
    done
    firstBusy=$(first_exchange_ms "$prefix" snk u4 R 0 16)
    wait "$burner"
    stop_board

    # Every memory must hold the image.
    python3 - "$image" "$prefix" <<'PY' || ok=0
import sys
image = bytearray()
for line in open(sys.argv[1]):
    if line[7:9] == "00":
        image += bytes.fromhex(line[9:9 + 2 * int(line[1:3], 16)])
for port in range(1, 5):
    memory = open("%s/com%d.bin" % (sys.argv[2], port), "rb").read()
    if memory[:len(image)] != image:
        sys.exit("com%d does not hold the image" % port)
PY
    [ $ok -eq 1 ] || { four=""; failed=1; }
    echo "OFBV 64 KiB at 115200 baud: one board ${alone} s, four boards at once ${four:-failed} s"
    echo "first exchange of a read on another port: ${firstAlone} ms alone, ${firstBusy} ms while a burn runs"
    summary "OFBV 64 KiB, 4 boards at once" "${four:-failed} s" "1 board $alone s" "$(ratio "$four" "$alone")" "<= 1.10x"
    summary "first exchange, other port, burn running" "${firstBusy:-failed} ms" "alone ${firstAlone:-failed} ms" \
        "$(ratio "$firstBusy" "$firstAlone")" "<= 50 ms"
}

# first_exchange_ms PREFIX ARGS...: milliseconds from starting Tolvar to its first command sent.
first_exchange_ms() {
    local prefix=$1
    shift
    TOLVAR_PREFIX=$prefix TOLVAR_TRACE=- python3 - "$build/front/Tolvar" "$@" <<'PY'
import subprocess, sys, time
start = time.monotonic()
run = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
first = None
for line in run.stderr:
    if first is None and line.startswith(">> "):
        first = time.monotonic()
run.wait()
print("%.1f" % ((first - start) * 1000) if first else "")
PY
}

# A free TCP port on the loopback address.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_server CONFIG PORT: ser2net with the configuration, once it listens on the loopback port.
start_server() {
    local program hex
    program=$(command -v ser2net || echo /usr/sbin/ser2net)
    "$program" -n -d -c "$1" >"$1.out" 2>&1 &
    server_pid=$!
    hex=$(printf ':%04X' "$2")
    for ((i = 0; i < 100; i++)); do
        awk -v port="$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 } END { exit !found }' \
            /proc/net/tcp && return 0
        sleep 0.05
    done
    echo "ser2net did not listen on port $2:"
    cat "$1.out"
    return 1
}

stop_server() {
    [ -n "$server_pid" ] || return 0
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
}

# server_config DEVICE RFC2217_PORT RAW_PORT: the README's ser2net configuration, both ways.
server_config() {
    local name accepter port
    for name in rfc2217 raw; do
        if [ "$name" = rfc2217 ]; then accepter="telnet(rfc2217),tcp(nodelay)" port=$2; else accepter="tcp(nodelay)" port=$3; fi
        printf 'connection: &board-%s\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: false\n' \
            "$name" "$accepter" "$port" "$1"
    done
}

# keep_best VAR SECONDS: VAR becomes SECONDS when that is less (or VAR is empty).
keep_best() {
    local -n best=$1
    if [ -z "$best" ] || awk -v a="$2" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$2; fi
}

# Boards on another machine: FBV of 64 KiB at 115200 baud through ser2net in front of the board's
# pty, RFC 2217 and raw TCP, against the same run on the pty itself. The three take turns, twice,
# so that a change of the machine's load meets all of them; the best of each counts.
server_section() {
    echo "== Port server (ser2net)"
    local bench=$build/bench/image_bench
    if ! have "$bench" "$build/front/Tolvar" "$build/board/tolvar-board"; then
        summary "FBV 64 KiB through ser2net, RFC 2217" "not built" "" "-" ""
        return
    fi
    if ! command -v ser2net >/dev/null && [ ! -x /usr/sbin/ser2net ]; then
        echo "ser2net not installed (Debian package ser2net): no figures"
        summary "FBV 64 KiB through ser2net, RFC 2217" "no ser2net" "" "-" ""
        return
    fi
    local prefix=$work/server image=$work/fw_server_64k.hex direct="" rfc2217="" raw="" seconds round
    local rfcPort rawPort
    "$bench" --generate "$image" 65536 || { failed=1; return; }
    start_board "$prefix" --baud 115200 --source "uart=com1,image=$prefix/source.bin" --sink "uart=com2" ||
        { failed=1; return; }
    rfcPort=$(free_port)
    rawPort=$(free_port)
    server_config "$prefix/dosdevices/com1" "$rfcPort" "$rawPort" >"$work/ser2net.yaml"
    start_server "$work/ser2net.yaml" "$rawPort" || { failed=1; stop_board; return; }
    local -A words=([direct]=u1 [rfc2217]="urfc2217://127.0.0.1:$rfcPort" [raw]="usocket://127.0.0.1:$rawPort")
    local way ok=1
    for round in 1 2; do
        for way in direct rfc2217 raw; do
            # ser2net lets the device go a moment after its client left.
            sleep 0.5
            seconds=$(best_seconds 1 tolvar_run "$prefix" src "${words[$way]}" FBV "$image")
            keep_if_succeeded seconds 'Verification succeeded' "FBV ($way)"
            [ -n "$seconds" ] || { ok=0; continue; }
            keep_best "$way" "$seconds"
        done
    done
    stop_server
    stop_board
    [ $ok -eq 1 ] || { direct=""; rfc2217=""; raw=""; }
    echo "FBV 64 KiB at 115200 baud, best of 2: pty ${direct:-failed} s, ser2net RFC 2217 ${rfc2217:-failed} s," \
        "ser2net raw ${raw:-failed} s (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    summary "FBV 64 KiB through ser2net, RFC 2217" "${rfc2217:-failed} s" "pty ${direct:-failed} s" \
        "$(ratio "$rfc2217" "$direct")" "<= 1.10x"
    summary "FBV 64 KiB through ser2net, raw TCP" "${raw:-failed} s" "pty ${direct:-failed} s" \
        "$(ratio "$raw" "$direct")" "<= 1.10x"
}

# Quillan: ihex_makeImage on 4 MiB of data in 16-byte records, against srec_cat on the same file.
quillan_section() {
    echo "== Quillan"
    local bench=$build/bench/quillan_bench cli=$build/hexlib/quillan hex=$work/in.hex
    if ! have "$bench" "$cli"; then
        summary "quillan image (ihex_makeImage), 4 MiB" "not built" "" "-" ""
        return
    fi
    "$bench" --generate "$hex" || { echo "cannot generate $hex"; failed=1; return; }
    echo "input: $(stat -c %s "$hex") bytes of Intel HEX, 4194304 bytes of data"
    local ours ourPeak theirs="" theirPeak=""
    ours=$(best_seconds 5 "$cli" image "$hex" "$work/ours.bin")
    ourPeak=$(peak_mib "$cli" image "$hex" "$work/ours.bin")
    echo "quillan image (ihex_makeImage): best of 5 ${ours} s, peak memory ${ourPeak} MiB"
    if command -v srec_cat >/dev/null; then
        theirs=$(best_seconds 5 srec_cat "$hex" -intel -o "$work/theirs.bin" -binary)
        theirPeak=$(peak_mib srec_cat "$hex" -intel -o "$work/theirs.bin" -binary)
        echo "srec_cat in.hex -intel -o out.bin -binary: best of 5 ${theirs} s, peak memory ${theirPeak} MiB"
    else
        echo "srec_cat not installed (Debian package srecord): no comparison"
    fi
    summary "quillan image (ihex_makeImage), 4 MiB" "$ours s" "srec_cat ${theirs:-absent} s" "$(ratio "$ours" "$theirs")" "<= 0.5x"
    summary "quillan image peak RSS" "$ourPeak MiB" "srec_cat ${theirPeak:-absent} MiB" "$(ratio "$ourPeak" "$theirPeak")" "<= 64 MiB"
    QUILLAN_BENCH_HEX=$hex "$bench" --benchmark_min_time=1 2>&1 || failed=1
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
sections=("${@:2}")
[ ${#sections[@]} -gt 0 ] || sections=(link image update parallel save server quillan)
for section in "${sections[@]}"; do
    "${section}_section"
done
print_summary
exit $failed
