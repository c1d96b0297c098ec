#!/usr/bin/env bash
# The main job on the simulated board pair: burn and verify the sample source image fast over the
# source chip's debug UART (port found by discovery), then read the start of the sink's memory.
# Usage: examples/demo.sh BUILD_DIR, or examples/demo.sh /usr/bin for the installed programs
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
tolvar="$build/front/Tolvar"
board="$build/board/tolvar-board"
if [ ! -e "$tolvar" ] && [ -e "$build/Tolvar" ]; then
  tolvar="$build/Tolvar"
  board="$build/tolvar-board"
fi
for program in "$tolvar" "$board"; do
  [ -x "$program" ] || { echo "demo: $program is missing; run 'make' first" >&2; exit 1; }
done

prefix=$(mktemp -d /tmp/tolvar-demo.XXXXXX)
board_pid=
cleanup() {
  if [ -n "$board_pid" ] && kill -0 "$board_pid" 2>/dev/null; then
    kill -TERM "$board_pid" 2>/dev/null || true
    wait "$board_pid" 2>/dev/null || true
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT
export TOLVAR_PREFIX="$prefix"

mkfifo "$prefix/board.out"
"$board" --prefix "$prefix" --baud 115200 \
  --source "family=marnel,memory=mx25,uart=com1,image=$prefix/source.bin" \
  --sink "family=marnel,memory=mx25,uart=com2,image=$prefix/sink.bin" \
  --audit "$prefix/audit.txt" >"$prefix/board.out" &
board_pid=$!
exec 3<"$prefix/board.out"
read -r -t 20 line <&3 || { echo "demo: the simulated board did not start" >&2; exit 1; }
[ "$line" = "ready" ] || { echo "demo: unexpected board output: $line" >&2; exit 1; }

failed=0
run() {
  echo "\$ Tolvar $*"
  local status=0
  (cd "$here" && "$tolvar" "$@" </dev/null) || status=$?
  echo "[exit code $status]"
  echo
  [ "$status" -eq 0 ] || failed=1
}
run uasrc FBV source_fw.hex
run uasnk R 0 64

kill -TERM "$board_pid"
wait "$board_pid" || true
board_pid=
echo "Board protocol audit:"
cat "$prefix/audit.txt" 2>/dev/null || echo "(no audit written)"

# The saved chip image must hold the sample's bytes from address 0.
python3 - "$here/source_fw.hex" "$prefix/source.bin" <<'PY' || failed=1
import sys
expected = bytearray()
for line in open(sys.argv[1]):
    if line[7:9] == "00":
        expected += bytes.fromhex(line[9:-3])
actual = open(sys.argv[2], "rb").read(len(expected))
if actual != expected:
    sys.exit("The source chip's memory differs from the sample image.")
print("The source chip's memory equals the sample image (%d bytes)." % len(expected))
PY
exit "$failed"
