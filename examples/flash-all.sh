#!/usr/bin/env bash
# Burns and verifies every board attached to this machine at once: finds each board (its port and
# side) once, then runs one Tolvar per port in parallel and prints one line per port that has a
# device:
#     com3   source ok       6.7 s
#     com5   -      busy           (another run holds the port)
#     com6   -      no answer      (no board answers on it)
# Exits 0 when every port with a device passed, 1 when any failed, was busy or did not answer,
# 2 when no port has a device; on INT or TERM every burn started is stopped, the boards cut off
# are named, and the exit code is 130 (INT) or 143 (TERM).
#
# Usage: examples/flash-all.sh IMAGE_SOURCE IMAGE_SINK
# Environment:
#   TOLVAR       the program (default: Tolvar on the PATH)
#   FLASH_PORTS  port numbers to look at (default: 1 to 10)
#   FLASH_OPS    operation letters of each run (default: FBV, fast burn and verify)
#   FLASH_LOGS   directory for each board's full output (default: a new temporary directory)
#   TOLVAR_PREFIX as for Tolvar itself
set -uo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 IMAGE_SOURCE IMAGE_SINK" >&2
    exit 2
fi
images=([0]="$2" [1]="$1")
sides=([0]=sink [1]=source)
words=([0]=snk [1]=src)
for image in "${images[@]}"; do
    [ -r "$image" ] || { echo "$0: cannot read $image" >&2; exit 2; }
done
tolvar=${TOLVAR:-Tolvar}
ports=${FLASH_PORTS:-1 2 3 4 5 6 7 8 9 10}
ops=${FLASH_OPS:-FBV}
logs=${FLASH_LOGS:-$(mktemp -d /tmp/flash-all.XXXXXX)}
mkdir -p "$logs"

prefix=${TOLVAR_PREFIX:-$HOME/.tolvar}

# has_device PORT: true when the port's device exists (as Tolvar finds it: the prefix's
# dosdevices/comN, a link or a file holding the path, else /dev/ttyUSB{N-1}).
has_device() {
    local link="$prefix/dosdevices/com$1" device
    if [ -L "$link" ]; then
        device=$link
    elif [ -f "$link" ]; then
        device=$(head -n 1 "$link")
    else
        device=/dev/ttyUSB$(($1 - 1))
    fi
    [ -e "$device" ]
}

# Every Tolvar started, so that INT and TERM can stop them: a background job of a script does not
# get the terminal's Ctrl-C (it starts with SIGINT ignored), TERM it does take.
started() { echo "$2" >"$logs/pid-$1"; }
stop_all() {
    local code=$1 file port entry cut=()
    trap '' INT TERM
    for entry in "${found[@]}"; do
        port=${entry%%:*}
        [ -e "$logs/result-com$port" ] || cut+=("$entry")
    done
    for file in "$logs"/pid-*; do
        [ -e "$file" ] && kill -TERM "$(cat "$file")" 2>/dev/null
    done
    wait
    for entry in "${cut[@]}"; do
        printf "com%-3s %-6s %s\n" "${entry%%:*}" "${sides[${entry##*:}]}" "cut off"
    done
    echo "stopped by a signal: the boards cut off must be burned again" >&2
    exit "$code"
}
found=()
trap 'stop_all 130' INT
trap 'stop_all 143' TERM

# side_of PORT: prints 1 for a source chip, 0 for a sink chip, "busy" when another run holds the
# port, nothing when no board answers.
side_of() {
    local port=$1 side log="$logs/probe-com$1.log"
    for side in 1 0; do
        "$tolvar" "${words[$side]}" "u$port" R 0 4 </dev/null >"$log" 2>&1 &
        started "probe-com$port" $!
        wait $!
        local code=$?
        rm -f "$logs/pid-probe-com$port"
        if [ $code -eq 0 ] && grep -q '^Reading eprom' "$log"; then
            echo "$side"
            return
        fi
        if grep -qE 'Failed to open com port.*(Resource temporarily unavailable|Device or resource busy)' "$log"; then
            echo busy
            return
        fi
    done
}

# Find every board once; the ports with a device are asked in parallel.
present=()
for port in $ports; do
    has_device "$port" || continue
    present+=("$port")
    side_of "$port" >"$logs/side-com$port" &
done
wait
if [ ${#present[@]} -eq 0 ]; then
    echo "no device on ports $ports" >&2
    exit 2
fi
failed=0
for port in "${present[@]}"; do
    side=$(cat "$logs/side-com$port")
    case $side in
        0 | 1) found+=("$port:$side") ;;
        busy) printf "com%-3s %-6s %s\n" "$port" - busy; failed=1 ;;
        *) printf "com%-3s %-6s %s\n" "$port" - "no answer"; failed=1 ;;
    esac
done

# flash PORT SIDE: one run; writes "result seconds" to its result file.
flash() {
    local port=$1 side=$2 log="$logs/com$1.log" start end result=FAILED
    start=$(date +%s%N)
    "$tolvar" "${words[$side]}" "u$port" "$ops" "${images[$side]}" </dev/null >"$log" 2>&1 &
    started "com$port" $!
    wait $!
    local code=$?
    rm -f "$logs/pid-com$port"
    if [ $code -eq 0 ]; then
        # A run that verifies must say so; one that only burns must say that.
        case $ops in
            *V*) grep -q '^Verification succeeded' "$log" && result=ok ;;
            *B*) grep -q '^Burn succeeded' "$log" && result=ok ;;
            *) result=ok ;;
        esac
    fi
    end=$(date +%s%N)
    echo "$result $(((end - start) / 1000000))" >"$logs/result-com$port"
}

for entry in "${found[@]}"; do
    flash "${entry%%:*}" "${entry##*:}" &
done
wait

for entry in "${found[@]}"; do
    port=${entry%%:*}
    side=${entry##*:}
    read -r result ms <"$logs/result-com$port"
    printf "com%-3s %-6s %-6s %6.1f s\n" "$port" "${sides[$side]}" "$result" "$(awk -v ms="$ms" 'BEGIN { print ms / 1000 }')"
    [ "$result" = ok ] || failed=1
done
[ $failed -eq 0 ] || echo "failed boards: see the logs in $logs" >&2
exit $failed
