#!/usr/bin/env bash
# Burns and verifies every board attached to this machine at once: finds each board (its port and
# side) once, then runs one Tolvar per port in parallel and prints one line per port that has a
# device:
#     com3   source ok       6.7 s
#     com5   -      busy           (another run holds the port)
#     com6   -      no answer      (no board answers on it)
# then where the reports are: report.jsonl (every board's run record) and junit.xml (one test case
# per board) beside the logs.
# Exits 0 when every port with a device passed, 1 when any failed, was busy or did not answer,
# 2 when no port has a device; on INT or TERM every burn started is stopped, the boards cut off
# are named, and the exit code is 130 (INT) or 143 (TERM).
#
# Usage: examples/flash-all.sh IMAGE_SOURCE IMAGE_SINK
# Environment:
#   TOLVAR       the program (default: Tolvar on the PATH)
#   FLASH_PORTS  ports to look at (default: 1 to 10): numbers (port comN), device paths
#                (/dev/ttyACM0) and network ports (socket://HOST:PORT, rfc2217://HOST:PORT)
#   FLASH_OPS    operation letters of each run (default: FBV, fast burn and verify)
#   FLASH_LOGS   directory for each board's full output and the reports (default: a new
#                temporary directory)
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
read -r -a ports <<<"${FLASH_PORTS:-1 2 3 4 5 6 7 8 9 10}"
ops=${FLASH_OPS:-FBV}
logs=${FLASH_LOGS:-$(mktemp -d /tmp/flash-all.XXXXXX)}
mkdir -p "$logs"
# Each run of the script reports on its own runs only: the probes leave no record, each burn its own.
unset TOLVAR_REPORT

prefix=${TOLVAR_PREFIX:-$HOME/.tolvar}

# A port as the result lines name it (comN for a number, otherwise as given), as Tolvar's port word
# takes it (u3, u/dev/ttyACM0, usocket://host:4000), and as its files in the log folder are named.
name_of() { case $1 in *[!0-9]*) echo "$1" ;; *) echo "com$1" ;; esac; }
key_of() { local name; name=$(name_of "$1"); echo "${name//[^A-Za-z0-9._-]/_}"; }

# has_device PORT: true when the port's device exists (as Tolvar finds it: the prefix's
# dosdevices/comN, a link or a file holding the path or a network port, else /dev/ttyUSB{N-1}).
# A network port has no device to look at: the probe tells whether a board answers there.
has_device() {
    local link device
    case $1 in
        *://*) return 0 ;;
        *[!0-9]*) device=$1 ;;
        *)
            link="$prefix/dosdevices/com$1"
            if [ -L "$link" ]; then
                device=$link
            elif [ -f "$link" ]; then
                device=$(head -n 1 "$link")
                case $device in *://*) return 0 ;; esac
            else
                device=/dev/ttyUSB$(($1 - 1))
            fi
            ;;
    esac
    [ -e "$device" ]
}

# Every Tolvar started, so that INT and TERM can stop them: a background job of a script does not
# get the terminal's Ctrl-C (it starts with SIGINT ignored), TERM it does take.
started() { echo "$2" >"$logs/pid-$1"; }

# xml_text TEXT: the text with the five XML characters escaped.
xml_text() {
    local text=${1//&/&amp;}
    text=${text//</&lt;}
    text=${text//>/&gt;}
    text=${text//\"/&quot;}
    echo "${text//\'/&apos;}"
}

# reason_of KEY: the reason line of the board's run record, XML-escaped (empty when the record has
# none). The record is one line of JSON with the reason last.
reason_of() {
    local record="$logs/record-$1.jsonl"
    [ -s "$record" ] || return 0
    sed -n 's/.*"reason":"\(.*\)"}$/\1/p' "$record" | tail -n 1 | LC_ALL=C awk 'BEGIN { apostrophe = sprintf("%c", 39) } {
        out = ""
        for (i = 1; i <= length($0); i++) {
            c = substr($0, i, 1)
            if (c == "\\") {
                e = substr($0, ++i, 1)
                if (e == "n") out = out "&#10;"
                else if (e == "r") out = out "&#13;"
                else if (e == "t") out = out "&#9;"
                else if (e == "\"") out = out "&quot;"
                else if (e == "u") {
                    hex = tolower(substr($0, i + 1, 4)); i += 4
                    # Control characters have no place in XML 1.0: the replacement character stands in.
                    out = out (hex ~ /^00[01]/ || hex == "007f" ? "&#xfffd;" : "&#x" hex ";")
                } else if (e == "b" || e == "f") out = out "&#xfffd;"
                else out = out e
            } else if (c == "&") out = out "&amp;"
            else if (c == "<") out = out "&lt;"
            else if (c == ">") out = out "&gt;"
            else if (c == apostrophe) out = out "&apos;"
            else out = out c
        }
        print out
    }'
}

# One test case per port that has a device: port, side, time, and the failure with its reason.
# Arguments: INDEX SIDE-WORD RESULT SECONDS REASON (the reason already XML-escaped).
cases=()
failures=0
add_case() {
    local name side=$2 text
    name=$(xml_text "$(name_of "${ports[$1]}")")
    [ "$side" = - ] && side=unknown
    text="  <testcase classname=\"flash-all.$side\" name=\"$name\" time=\"$4\""
    if [ "$3" = ok ]; then
        cases+=("$text/>")
        return
    fi
    failures=$((failures + 1))
    cases+=("$text>
    <failure type=\"$3\" message=\"$5\">$5&#10;log: $(xml_text "$logs/$(key_of "${ports[$1]}").log")</failure>
  </testcase>")
}

# report.jsonl (the boards' run records in port order) and junit.xml; both paths printed.
write_reports() {
    local index key
    : >"$logs/report.jsonl"
    for index in "${!ports[@]}"; do
        key=$(key_of "${ports[$index]}")
        [ -s "$logs/record-$key.jsonl" ] && cat "$logs/record-$key.jsonl" >>"$logs/report.jsonl"
    done
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<testsuite name=\"flash-all\" tests=\"${#cases[@]}\" failures=\"$failures\" errors=\"0\" timestamp=\"$(date -u +%Y-%m-%dT%H:%M:%S)\">"
        for text in "${cases[@]}"; do echo "$text"; done
        echo '</testsuite>'
    } >"$logs/junit.xml"
    echo "report: $logs/report.jsonl"
    echo "junit:  $logs/junit.xml"
}

stop_all() {
    local code=$1 file entry index reason pid finished=() cut=()
    trap '' INT TERM
    for entry in "${found[@]}"; do
        if [ -e "$logs/result-$(key_of "${ports[${entry%%:*}]}")" ]; then
            finished+=("$entry")
        else
            cut+=("$entry")
        fi
    done
    # After a Ctrl-C a run that took the INT itself is already winding down: a TERM on top would end
    # it at once, before it closed what it had open. It gets a moment first.
    [ "$code" = 130 ] && sleep 1
    for file in "$logs"/pid-*; do
        [ -e "$file" ] && kill -TERM "$(cat "$file")" 2>/dev/null
    done
    wait
    # A burn whose own shell the INT ended is no child to wait for: it is watched until it has
    # ended and written its record (at most 10 s).
    for file in "$logs"/pid-*; do
        [ -e "$file" ] || continue
        pid=$(cat "$file")
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    done
    for entry in "${finished[@]}"; do
        index=${entry%%:*}
        read -r result ms <"$logs/result-$(key_of "${ports[$index]}")"
        add_case "$index" "${sides[${entry##*:}]}" "$result" "$(seconds "$ms")" "$(reason_of "$(key_of "${ports[$index]}")")"
    done
    for entry in "${cut[@]}"; do
        index=${entry%%:*}
        printf "%-6s %-6s %s\n" "$(name_of "${ports[$index]}")" "${sides[${entry##*:}]}" "cut off"
        reason=$(reason_of "$(key_of "${ports[$index]}")")
        add_case "$index" "${sides[${entry##*:}]}" cut-off 0 "${reason:-cut off by a signal}"
    done
    write_reports
    echo "stopped by a signal: the boards cut off must be burned again" >&2
    exit "$code"
}
found=()
trap 'stop_all 130' INT
trap 'stop_all 143' TERM

seconds() { awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }'; }

# side_of PORT: prints 1 for a source chip, 0 for a sink chip, "busy" when another run holds the
# port, nothing when no board answers.
side_of() {
    local port=$1 side key log
    key=$(key_of "$port")
    log="$logs/probe-$key.log"
    for side in 1 0; do
        "$tolvar" "${words[$side]}" "u$port" R 0 4 </dev/null >"$log" 2>&1 &
        started "probe-$key" $!
        wait $!
        local code=$?
        rm -f "$logs/pid-probe-$key"
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
for index in "${!ports[@]}"; do
    has_device "${ports[$index]}" || continue
    present+=("$index")
    side_of "${ports[$index]}" >"$logs/side-$(key_of "${ports[$index]}")" &
done
wait
if [ ${#present[@]} -eq 0 ]; then
    echo "no device on ports ${ports[*]}" >&2
    exit 2
fi
failed=0
for index in "${present[@]}"; do
    side=$(cat "$logs/side-$(key_of "${ports[$index]}")")
    name=$(name_of "${ports[$index]}")
    case $side in
        0 | 1) found+=("$index:$side") ;;
        busy)
            printf "%-6s %-6s %s\n" "$name" - busy
            add_case "$index" - busy 0 "busy: another program holds the port"
            failed=1
            ;;
        *)
            printf "%-6s %-6s %s\n" "$name" - "no answer"
            add_case "$index" - no-answer 0 "no answer: no board answers on the port"
            failed=1
            ;;
    esac
done

# flash INDEX SIDE: one run with its run record; writes "result milliseconds" to its result file.
flash() {
    local port=${ports[$1]} side=$2 key start end result=FAILED
    key=$(key_of "$port")
    local log="$logs/$key.log"
    rm -f "$logs/record-$key.jsonl"
    start=$(date +%s%N)
    TOLVAR_REPORT="$logs/record-$key.jsonl" "$tolvar" "${words[$side]}" "u$port" "$ops" "${images[$side]}" \
        </dev/null >"$log" 2>&1 &
    started "$key" $!
    wait $!
    local code=$?
    rm -f "$logs/pid-$key"
    if [ $code -eq 0 ]; then
        # A run that verifies must say so; one that only burns must say that.
        case $ops in
            *V*) grep -q '^Verification succeeded' "$log" && result=ok ;;
            *B*) grep -q '^Burn succeeded' "$log" && result=ok ;;
            *) result=ok ;;
        esac
    fi
    end=$(date +%s%N)
    echo "$result $(((end - start) / 1000000))" >"$logs/result-$key"
}

for entry in "${found[@]}"; do
    flash "${entry%%:*}" "${entry##*:}" &
done
wait
# Every run has ended: nothing is left to stop, the lines and reports are written in full.
trap '' INT TERM

for entry in "${found[@]}"; do
    index=${entry%%:*}
    side=${entry##*:}
    key=$(key_of "${ports[$index]}")
    read -r result ms <"$logs/result-$key"
    printf "%-6s %-6s %-6s %6.1f s\n" "$(name_of "${ports[$index]}")" "${sides[$side]}" "$result" \
        "$(awk -v ms="$ms" 'BEGIN { print ms / 1000 }')"
    reason=$(reason_of "$key")
    if [ "$result" != ok ] && [ -z "$reason" ]; then
        reason="the run ended without saying it succeeded"
    fi
    add_case "$index" "${sides[$side]}" "$result" "$(seconds "$ms")" "$reason"
    [ "$result" = ok ] || failed=1
done
write_reports
[ $failed -eq 0 ] || echo "failed boards: see the logs in $logs" >&2
exit $failed
