#!/usr/bin/env bash
# Burns and verifies every board attached to this machine at once: finds each board (its port and
# side) once, then runs one Tolvar per port in parallel and prints one line per board:
#     com3   source ok       6.7 s
# Exits 0 when every board passed, 1 when any failed, 2 when no board was found.
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

# side_of PORT: prints 1 for a source chip, 0 for a sink chip, nothing when no board answers.
side_of() {
    local port=$1 side
    for side in 1 0; do
        if "$tolvar" "${words[$side]}" "u$port" R 0 4 </dev/null >"$logs/probe-com$port.log" 2>&1 &&
            grep -q '^Reading eprom' "$logs/probe-com$port.log"; then
            echo "$side"
            return
        fi
    done
}

# Find every board once; the ports are asked in parallel.
for port in $ports; do
    side_of "$port" >"$logs/side-com$port" &
done
wait
found=()
for port in $ports; do
    side=$(cat "$logs/side-com$port")
    [ -n "$side" ] && found+=("$port:$side")
done
if [ ${#found[@]} -eq 0 ]; then
    echo "no board found on ports $ports" >&2
    exit 2
fi

# flash PORT SIDE: one run; writes "result seconds" to its result file.
flash() {
    local port=$1 side=$2 log="$logs/com$1.log" start end result=FAILED
    start=$(date +%s%N)
    if "$tolvar" "${words[$side]}" "u$port" "$ops" "${images[$side]}" </dev/null >"$log" 2>&1; then
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

failed=0
for entry in "${found[@]}"; do
    port=${entry%%:*}
    side=${entry##*:}
    read -r result ms <"$logs/result-com$port"
    printf "com%-3s %-6s %-6s %6.1f s\n" "$port" "${sides[$side]}" "$result" "$(awk -v ms="$ms" 'BEGIN { print ms / 1000 }')"
    [ "$result" = ok ] || failed=1
done
[ $failed -eq 0 ] || echo "failed boards: see the logs in $logs" >&2
exit $failed
